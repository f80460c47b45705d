// Subway readers end to end: worked taps at one station, and a trip
// tapped in and out at two stations running side by side.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/network.h"

namespace {

const std::string kS1 = "Subway Reader (Tollvane)";
const std::string kS4 = "Subway Reader (Farnsett)";

}  // namespace

TEST(SubwayReader, SettlesEachKindOfTap) {
  Network network;
  Reader s1(network, program("subway_reader_s1"));
  waitForPeriods({&s1});
  const std::string cards[][2] = {
      // A transfer from a bus left a moment ago: tapped first, so that it
      // is still within the window.
      {"104", cardLine("BUS IN", 600, 1650, "B_3") + "\r\n" + cardLine("BUS OUT", 3, 600, "B_4")},
      // A new ride, and one refused.
      {"101", cardLine("SUBWAY IN", 900, 6050, "S2_1") + "\r\n" +
                  cardLine("SUBWAY OUT", 300, 5000, "S3_8")},
      {"103", cardLine("SUBWAY IN", 900, 2299, "S2_1") + "\r\n" +
                  cardLine("SUBWAY OUT", 300, 1249, "S3_8")},
      // An exit two stations from the entry, made in this period.
      {"115",
       cardLine("SUBWAY OUT", 600, 3000, "S2_1") + "\r\n" + cardLine("SUBWAY IN", 0, 3000, "S3_2")},
      // An exit two stations away from an entry by transfer from the bus.
      {"119",
       cardLine("BUS OUT", 10, 3000, "B_4") + "\r\n" + cardLine("SUBWAY IN", 0, 3000, "S3_5")},
      // An entry left open from before the period began.
      {"120", cardLine("SUBWAY OUT", 900, 2000, "S2_1") + "\r\n" +
                  cardLine("SUBWAY IN", 300, 2000, "S3_2")},
      // An open entry by transfer from a vehicle no reader names: no fare
      // entry fits it, and nothing is shown or written.
      {"125",
       cardLine("TRAM OUT", 305, 2000, "T_1") + "\r\n" + cardLine("SUBWAY IN", 300, 2000, "S3_2")},
  };
  for (const auto& card : cards) network.writeCard(card[0], card[1]);
  s1.type("104 101 103 115 119 120 125\n");
  ASSERT_EQ(s1.finish(), 0);

  EXPECT_EQ(s1.maskedOutput(), prompt(kS1) + charged(0, 600) + prompt(kS1) + charged(1050, 3950) +
                                   prompt(kS1) + refused(1249) + prompt(kS1) + charged(200, 2800) +
                                   prompt(kS1) + charged(600, 2400) + prompt(kS1) +
                                   charged(1250, 750) + prompt(kS1) + "Error 2\n" + prompt(kS1));
  const char* appended[] = {"\r\n<now>,SUBWAY,IN,600,S1_1",
                            "\r\n<now>,SUBWAY,IN,3950,S1_2",
                            "",
                            "\r\n<now>,SUBWAY,OUT,2800,S1_3",
                            "\r\n<now>,SUBWAY,OUT,2400,S1_4",
                            "\r\n<now>,SUBWAY,IN,750,S1_5",
                            ""};
  for (int i = 0; i < 7; i++) {
    EXPECT_EQ(s1.masked(network.card(cards[i][0])), s1.masked(cards[i][1]) + appended[i])
        << "card " << cards[i][0];
  }
  // The transfer and the exit after it are logged under the id they continue.
  EXPECT_EQ(s1.masked(network.log("Subway1.txt")),
            "<now>,SUBWAY,IN,0,B_4\r\n<now>,SUBWAY,IN,1050,S1_2\r\n<now>,SUBWAY,OUT,200,S1_3\r\n"
            "<now>,SUBWAY,OUT,600,S3_5\r\n<now>,SUBWAY,IN,1250,S1_5\r\n");
}

TEST(SubwayReader, ATripInAtOneStationOutAtAnother) {
  Network network;
  Reader s2(network, program("subway_reader_s2"));
  Reader s4(network, program("subway_reader_s4"));
  waitForPeriods({&s2, &s4});
  std::string card =
      cardLine("SUBWAY IN", 900, 6050, "S1_1") + "\r\n" + cardLine("SUBWAY OUT", 300, 5000, "S3_8");
  network.writeCard("300", card);
  auto records = [&] {
    std::string bytes = network.card("300");
    return std::count(bytes.begin(), bytes.end(), '\n');
  };
  s2.type("300\n");
  ASSERT_TRUE(waitUntil([&] { return records() == 2; }, 10));
  s4.type("300\n");
  ASSERT_TRUE(waitUntil([&] { return records() == 3; }, 10));
  ASSERT_EQ(s2.finish(), 0);
  ASSERT_EQ(s4.finish(), 0);

  EXPECT_EQ(s4.maskedOutput(), prompt(kS4) + charged(200, 3750) + prompt(kS4));
  EXPECT_EQ(s2.masked(network.card("300")),
            card + "\r\n<now>,SUBWAY,IN,3950,S2_1\r\n<now>,SUBWAY,OUT,3750,S4_1");
  EXPECT_EQ(s2.masked(network.log("Subway2.txt")), "<now>,SUBWAY,IN,1050,S2_1\r\n");
  EXPECT_EQ(s2.masked(network.log("Subway4.txt")), "<now>,SUBWAY,OUT,200,S4_1\r\n");
}
