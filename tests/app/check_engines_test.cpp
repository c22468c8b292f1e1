// --check-engines against the fake engines: the table, the exit codes and the command line.

#include "app/check_engines.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "support/apertium_service.h"
#include "support/fake_engine.h"
#include "temp_folder.h"

namespace tessarine::app {
namespace {

using test_support::FakeEngine;

// The table's rows split into their columns (two blanks or more between columns).
std::vector<std::vector<std::string>> Rows(const std::string& table) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(table);
  std::string line;
  const std::regex gap(" {2,}");
  while (std::getline(lines, line)) {
    std::vector<std::string> cells(std::sregex_token_iterator(line.begin(), line.end(), gap, -1), {});
    rows.push_back(cells);
  }
  return rows;
}

// A loopback port that nothing listens on: connections to it are refused at once.
std::string RefusingHost() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

class CheckEnginesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_fake = new FakeEngine(); }
  static void TearDownTestSuite() { delete s_fake; }

  void SetUp() override { s_fake->Reset(); }

  // Every engine on the fake's http port but Yandex, which speaks https and is refused.
  void writeSettings(const std::string& host, const std::string& extra = "") {
    std::string text = "[General]\nGoogle=1\n[Engines]\n";
    for (const char* engine : {"Google", "Bing", "Babylon", "Promt"}) text += engine + ("=" + host + "\n");
    folder.Write("setting.ini", text + "Yandex=" + refusing + "\n" + extra);
  }
  int run(const std::u16string& text = u"Hello world", const std::u16string& langpair = u"en|de") {
    output.str("");
    return CheckEngines(folder.File("setting.ini"), text, langpair, output);
  }

  static inline FakeEngine* s_fake = nullptr;
  const std::string refusing = RefusingHost();
  testing::TempFolder folder;
  std::ostringstream output;
};

TEST_F(CheckEnginesTest, EachVisibleEngineIsAskedOnceAndTabled) {
  const std::string host = s_fake->HttpHost();
  const std::string key = "0d5e3f2a-93b7-4d1e-a2c6-7f0e9b3d8a21:fx";
  const std::string microsoftKey = "9b2d7c41e0f84a6b8d3e5f1a2c4b6d8e";
  const std::string googleKey = "AIzaSyD-3f9c2b7e1a4d6f8b0c2e4a6d8f0b2c4e6";
  const std::string yandexKey = "AQVN9c8b7a6d5e4f3a2b1c0d";
  writeSettings(host, "LibreTranslate=" + host + "\nDeepL=http://" + host + "\nDeepLKey=" + key +
                          "\nMicrosoft=http://" + host + "\nMicrosoftKey=" + microsoftKey + "\nGoogleCloud=http://" +
                          host + "\nGoogleCloudKey=" + googleKey + "\nYandexCloud=http://" + host +
                          "\nYandexCloudKey=" + yandexKey + "\nLLM=http://" + host + "/v1\nLLMModel=small\n");
  s_fake->SetMode(R"({"engine": "bing", "mode": "status", "code": 429, "reason": "Too Many Requests"})");
  EXPECT_EQ(run(u"Hi", u"en|fr"), 0);
  const auto rows = Rows(output.str());
  ASSERT_EQ(rows.size(), 12u) << output.str();
  for (const std::string& secret : {key, microsoftKey, googleKey, yandexKey})
    EXPECT_EQ(output.str().find(secret), std::string::npos);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"Engine", "Host", "Result", "Time"}));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Google", "fr: HI"},      {"Bing", "error: HTTP/1.1 429 Too Many Requests"},
      {"Yandex", "error: "},     {"Babylon", "1: HI"},
      {"Promt", "fr: HI"},       {"LibreTranslate", "fr: HI"},
      {"DeepL", "FR: HI"},       {"Microsoft", "fr: HI"},
      {"GoogleCloud", "fr: HI"}, {"YandexCloud", "fr: HI"},
      {"LLM", "fr: HI"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& row = rows[i + 1];
    ASSERT_EQ(row.size(), 4u) << output.str();
    EXPECT_EQ(row[0], expected[i].first);
    EXPECT_EQ(row[1], expected[i].first == "Yandex" ? refusing : expected[i].first == "LLM" ? host + "/v1" : host);
    EXPECT_EQ(row[2].substr(0, expected[i].second.size()), expected[i].second);
    EXPECT_TRUE(std::regex_match(row[3], std::regex("[0-9]+ ms"))) << row[3];
  }
  // One request per engine that was reached, SYSTRAN never.
  const auto requests = s_fake->Requests();
  std::string lines;
  for (size_t i = 0; i < requests.size(); ++i) lines += requests[i]["request_line"].text + "\n";
  EXPECT_EQ(lines.find("/sai"), std::string::npos);
  EXPECT_NE(lines.find("POST /translate HTTP/1.0"), std::string::npos);
}

TEST_F(CheckEnginesTest, NoAnswerAtAllExitsWithOne) {
  writeSettings(s_fake->HttpHost());
  s_fake->SetMode(R"({"mode": "status", "code": 503})");
  EXPECT_EQ(run(), 1);
  const auto rows = Rows(output.str());
  ASSERT_EQ(rows.size(), 6u);
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_EQ(rows[i][2].rfind("error: ", 0), 0u) << rows[i][2];
  // A reply with nothing to extract is no answer either.
  s_fake->SetMode(R"({"mode": "status", "code": 200, "body": "<html>captcha</html>"})");
  EXPECT_EQ(run(), 1);
  EXPECT_NE(output.str().find("error: no translation in the reply"), std::string::npos);
}

TEST_F(CheckEnginesTest, BadHostsAndLangpairs) {
  writeSettings(s_fake->HttpHost(), "LibreTranslate=not a host\n");
  EXPECT_EQ(run(), 0);
  EXPECT_NE(output.str().find("error: Invalid engine host: not a host"), std::string::npos);
  EXPECT_EQ(run(u"Hello", u"en-de"), 2);
  EXPECT_TRUE(s_fake->Requests().size() == 4u);  // the second run sent nothing
  // A file too large to be settings is said to be so, and nobody is asked.
  folder.Write("setting.ini", "[General]\n" + std::string(1100000, ';'));
  EXPECT_EQ(run(), 2);
  EXPECT_NE(output.str().find("No engine was asked."), std::string::npos) << output.str();
  EXPECT_TRUE(s_fake->Requests().size() == 4u);
}

TEST_F(CheckEnginesTest, ApertiumIsAskedAndListsItsPairsWhenTheAskedOneIsMissing) {
  test_support::ApertiumService apertium;
  writeSettings(refusing, "Apertium=" + apertium.Host() + "\n");
  EXPECT_EQ(run(u"Hello world", u"en|es"), 0);
  auto rows = Rows(output.str());
  ASSERT_EQ(rows.size(), 7u) << output.str();
  EXPECT_EQ(rows[6][0], "Apertium");
  EXPECT_EQ(rows[6][1], apertium.Host());
  EXPECT_EQ(rows[6][2], "Hola Mundo");

  EXPECT_EQ(run(u"Hello world", u"en|ru"), 1);
  rows = Rows(output.str());
  ASSERT_EQ(rows.size(), 7u) << output.str();
  EXPECT_EQ(rows[6][2].rfind("error: That pair is not installed; pairs offered: ", 0), 0u) << rows[6][2];
  EXPECT_NE(rows[6][2].find("eng|spa"), std::string::npos) << rows[6][2];
}

}  // namespace
}  // namespace tessarine::app
