// The bus reader end to end, and a journey across the network: in at one
// station, out at another, onto the bus as a transfer and off it again.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/packed_time.h"
#include "tests/e2e/network.h"

namespace {

const std::string kBus = "Bus Redaer";

size_t recordsOf(const Network& network, const std::string& number) {
  std::string bytes = network.card(number);
  return std::count(bytes.begin(), bytes.end(), '\n') + 1;
}

}  // namespace

TEST(BusReader, SettlesEachKindOfTap) {
  Network network;
  Reader bus(network, program("bus_reader"));
  waitForPeriods({&bus});
  const std::string cards[][2] = {
      // A transfer from the subway left a moment ago: tapped first, so
      // that it is still within the window.
      {"204",
       cardLine("SUBWAY IN", 600, 1900, "S2_1") + "\r\n" + cardLine("SUBWAY OUT", 3, 700, "S3_7")},
      // A new boarding, and one refused.
      {"201", cardLine("SUBWAY IN", 900, 6050, "S2_1") + "\r\n" +
                  cardLine("SUBWAY OUT", 300, 5000, "S3_8")},
      {"203", cardLine("SUBWAY IN", 900, 2099, "S2_1") + "\r\n" +
                  cardLine("SUBWAY OUT", 300, 1049, "S3_8")},
      // Leaving a bus boarded in this period, with nothing on the card.
      {"209", cardLine("BUS OUT", 600, 1050, "B_3") + "\r\n" + cardLine("BUS IN", 0, 0, "B_4")},
      // A bus ride boarded before the period began: a new boarding.
      {"210",
       cardLine("BUS OUT", 900, 3050, "B_3") + "\r\n" + cardLine("BUS IN", 300, 2000, "B_4")},
      // Such a ride begun as a transfer from the subway: settled flat.
      {"214",
       cardLine("SUBWAY OUT", 305, 2000, "S1_3") + "\r\n" + cardLine("BUS IN", 300, 2000, "B_4")},
      // A subway trip never tapped out.
      {"216", cardLine("SUBWAY OUT", 900, 1250, "S1_3") + "\r\n" +
                  cardLine("SUBWAY IN", 300, 1250, "S4_2")},
      // An entry no reader could have written: no rule matches.
      {"221", cardLine("SUBWAY OUT", 900, 5000, "S1_3") + "\r\n" +
                  cardLine("SUBWAY IN", 300, 5000, "B_3")},
  };
  for (const auto& card : cards) network.writeCard(card[0], card[1]);
  bus.type("204 201 203 209 210 214 216 221\n");
  ASSERT_EQ(bus.finish(), 0);

  EXPECT_EQ(bus.maskedOutput(),
            prompt(kBus) + charged(0, 700) + prompt(kBus) + charged(1050, 3950) + prompt(kBus) +
                refused(1049) + prompt(kBus) + charged(0, 0) + prompt(kBus) + charged(1050, 950) +
                prompt(kBus) + charged(1750, 250) + prompt(kBus) + charged(1250, 0) + prompt(kBus) +
                "Error 1\n" + prompt(kBus));
  const char* appended[] = {"\r\n<now>,BUS,IN,700,B_1",
                            "\r\n<now>,BUS,IN,3950,B_2",
                            "",
                            "\r\n<now>,BUS,OUT,0,B_3",
                            "\r\n<now>,BUS,IN,950,B_4",
                            "\r\n<now>,BUS,IN,250,B_5",
                            "\r\n<now>,BUS,IN,0,B_6",
                            ""};
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(bus.masked(network.card(cards[i][0])), bus.masked(cards[i][1]) + appended[i])
        << "card " << cards[i][0];
  }
  EXPECT_EQ(bus.masked(network.log("Bus.txt")),
            "<now>,BUS,IN,0,S3_7\r\n<now>,BUS,IN,1050,B_2\r\n<now>,BUS,OUT,0,B_3\r\n"
            "<now>,BUS,IN,1050,B_4\r\n<now>,BUS,IN,1750,B_5\r\n<now>,BUS,IN,1250,B_6\r\n");
}

TEST(Network, AJourneyAcrossStationsAndTheBus) {
  Network network;
  Reader s1(network, program("subway_reader_s1"));
  Reader s3(network, program("subway_reader_s3"));
  Reader bus(network, program("bus_reader"));
  waitForPeriods({&s1, &s3, &bus});
  std::string card = cardLine("SUBWAY IN", 900, 11050, "S2_1") + "\r\n" +
                     cardLine("SUBWAY OUT", 600, 10000, "S4_7");
  network.writeCard("1001", card);

  s1.type("1001\n");
  ASSERT_TRUE(waitUntil([&] { return recordsOf(network, "1001") == 3; }, 10));
  s3.type("1001\n");
  ASSERT_TRUE(waitUntil([&] { return recordsOf(network, "1001") == 4; }, 10));
  bus.type("1001\n");
  ASSERT_TRUE(waitUntil([&] { return recordsOf(network, "1001") == 5; }, 10));
  // Leave the bus 95.5 s after boarding: three whole units of 30 s.
  std::string boarding = network.card("1001").substr(network.card("1001").rfind('\n') + 1, 14);
  int64_t boarded = makeTime(std::stoll(boarding));
  std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(boarded) +
                                std::chrono::milliseconds(95500));
  bus.type("1001\n");
  ASSERT_TRUE(waitUntil([&] { return recordsOf(network, "1001") == 6; }, 10));
  for (Reader* reader : {&s1, &s3, &bus}) ASSERT_EQ(reader->finish(), 0);

  EXPECT_EQ(bus.maskedOutput(),
            prompt(kBus) + charged(0, 8750) + prompt(kBus) + charged(300, 8450) + prompt(kBus));
  EXPECT_EQ(s1.masked(network.card("1001")),
            card +
                "\r\n<now>,SUBWAY,IN,8950,S1_1\r\n<now>,SUBWAY,OUT,8750,S3_1"
                "\r\n<now>,BUS,IN,8750,B_1\r\n<now>,BUS,OUT,8450,B_2");
  EXPECT_EQ(s1.masked(network.log("Subway1.txt")), "<now>,SUBWAY,IN,1050,S1_1\r\n");
  EXPECT_EQ(s1.masked(network.log("Subway3.txt")), "<now>,SUBWAY,OUT,200,S3_1\r\n");
  // The transfer boarding is logged under the subway exit's id, the exit
  // under the boarding's.
  EXPECT_EQ(s1.masked(network.log("Bus.txt")), "<now>,BUS,IN,0,S3_1\r\n<now>,BUS,OUT,300,B_1\r\n");
}
