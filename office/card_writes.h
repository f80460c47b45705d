// What the office writes on cards: a new card issued; and a top-up, a
// refund, a close or a replacement, each made as one transaction with a
// line of the office log (Reader_txt/Topup.txt) under the card's lock, as
// a reader records a tap.
#pragma once

#include <string>

// The network directory is open as `dir` in both.

// Creates card `number` holding `balanceText`, never over an existing
// file. Returns the exit status; a card that could not be written whole is
// removed again.
int issueCard(int dir, const char* number, const char* balanceText);

// Adds `amountText` to card `number`'s balance: its latest record again,
// with only the balance raised, and a line in the top-up log, as one
// transaction under the card's lock, as a reader records a tap. Returns
// the exit status.
int topUpCard(int dir, const std::string& number, const char* amountText);

// Takes `amountText` off card `number`'s balance, paid back for `reason`,
// as a top-up adds it. Never below 0.
int refundCard(int dir, const std::string& number, const char* amountText, const char* reason);

// Pays out card `number`'s balance and retires the card: its balance goes
// to 0, then it is kept as Card/<number>.txt.retired, where no reader finds
// it. Refused for a card in a trip, whose fare is still to be paid.
int closeCard(int dir, const std::string& number);

// Replaces card `number` by the new card `replacement`: the new card is
// made holding the old one's balance and its trip (its last two records
// again), the old one's balance goes to 0 with a line that names the new
// one, and then the new card takes its name and the old one is retired.
// Either both or neither: a replacement cut short after its line was
// written is finished by the office's next change.
int replaceCard(int dir, const std::string& number, const std::string& replacement);
