// What the office writes on cards: a new card issued, and a top-up, made
// as one transaction with the top-up log under the card's lock, as a
// reader records a tap.
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
