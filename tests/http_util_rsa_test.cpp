// RSA public-key encryption. Every ciphertext is decrypted by the openssl
// command-line tool with the matching test private key (tests/data/rsa).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/io/network/http/HttpUtil.h"
#include "support/TestUtil.h"

namespace {

std::string DataPath(const std::string& name) {
  const char* dir = std::getenv("IOTCLOUD_TEST_DATA");
  return std::string(dir != nullptr ? dir : "tests/data") + "/rsa/" + name;
}

std::string ReadKey(const std::string& name) { return iotcloud_test::ReadFile(DataPath(name)); }

// PKCS#1 v1.5 decryption of Base64 text by the openssl tool.
std::string ToolDecrypt(const std::string& base64, const std::string& privateKey) {
  const std::string command = "printf %s '" + base64 + "' | openssl base64 -d -A | openssl pkeyutl -decrypt " +
                              "-pkeyopt rsa_padding_mode:pkcs1 -inkey '" + DataPath(privateKey) + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string plain;
  char buffer[512];
  for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) plain.append(buffer, n);
  return pipe != nullptr && pclose(pipe) == 0 ? plain : "<failed>";
}

class RsaEncodeTest : public testing::Test {
 protected:
  void SetUp() override {
    if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl tool";
  }
  void TearDown() override { public_key = builtIn_; }
  void UseKey(std::string pem) {  // kept alive by the fixture
    keyText_ = std::move(pem);
    public_key = keyText_.c_str();
  }
  const char* const builtIn_ = public_key;
  std::string keyText_;
};

// The built-in key, the "RSA PUBLIC KEY" form, 64-column lines, and the largest
// key whose text still fits: up to the padding limit and not a byte more.
TEST_F(RsaEncodeTest, EncryptsUnderEachUsableKey) {
  const struct {
    const char *publicPem, *privatePem;  // null publicPem: the built-in key
    size_t textLength, maxData;
  } cases[] = {{nullptr, "builtin_2048_private.pem", 344, 245},
               {"pkcs1_2048_public.pem", "pkcs1_2048_private.pem", 344, 245},
               {"builtin_2048_public.pem", "builtin_2048_private.pem", 344, 245},
               {"rsa_3048_public.pem", "rsa_3048_private.pem", 508, 370}};
  std::string data(371, '\0');  // every byte value, zero included
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 37 + 11);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.privatePem);
    if (c.publicPem != nullptr) UseKey(ReadKey(c.publicPem));
    for (const size_t length : {size_t{0}, size_t{7}, c.maxData}) {
      const std::string text = HttpUtil::RsaEncode(data.data(), static_cast<int>(length));
      ASSERT_EQ(text.size(), c.textLength) << length;
      EXPECT_EQ(ToolDecrypt(text, c.privatePem), data.substr(0, length)) << length;
    }
    EXPECT_EQ(HttpUtil::RsaEncode(data.data(), static_cast<int>(c.maxData + 1)), "");
  }
  public_key = builtIn_;
  EXPECT_NE(HttpUtil::RsaEncode("secret", 6), HttpUtil::RsaEncode("secret", 6));  // random padding
  EXPECT_EQ(HttpUtil::RsaEncode("secret", -1), "");
  EXPECT_EQ(HttpUtil::RsaEncode(nullptr, 5), "");
}

// Key texts that must give the empty result, never more than the work areas
// hold (ASan watches the larger keys). 3072 bits: Base64 would need 512
// characters; 4096: the ciphertext fills its area; 8192: larger than the area.
// Then another key type, stray or missing text, a wrong or lower-case label, a
// damaged body, and bodies under the other key form's label.
TEST_F(RsaEncodeTest, GivesEmptyTextForUnusableKeys) {
  const std::string spki = std::string(builtIn_).substr(27, 392), pkcs1 = ReadKey("pkcs1_2048_public.pem"),
                    ec = ReadKey("ec_p256_public.pem");
  // clang-format off
  const std::string cases[] = {ReadKey("rsa_3072_public.pem"), ReadKey("rsa_4096_public.pem"),
      ReadKey("rsa_8192_public.pem"), ec, " " + std::string(builtIn_), "",
      "-----BEGIN CERTIFICATE-----\n" + spki + "\n-----END CERTIFICATE-----",
      "-----begin public key-----\n" + spki + "\n-----end public key-----",
      "-----BEGIN PUBLIC KEY-----\nAAAA" + spki.substr(4) + "\n-----END PUBLIC KEY-----",
      "-----BEGIN RSA PUBLIC KEY-----\n" + ec.substr(27, ec.find("-----END") - 27) + "-----END RSA PUBLIC KEY-----",
      "-----BEGIN PUBLIC KEY-----\n" + pkcs1.substr(31, pkcs1.find("-----END") - 31) + "-----END PUBLIC KEY-----"};
  // clang-format on
  for (const std::string& text : cases) {
    UseKey(text);
    EXPECT_EQ(HttpUtil::RsaEncode("secret", 6), "") << text;
  }
  public_key = nullptr;
  EXPECT_EQ(HttpUtil::RsaEncode("secret", 6), "");
}

// No shared work area: concurrent calls each get their own ciphertext.
TEST_F(RsaEncodeTest, ConcurrentCallsAreIndependent) {
  const std::string plain = "0123456789abcdef";
  std::vector<std::string> texts(plain.size());
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t)
    threads.emplace_back([t, &texts, &plain] {
      for (size_t i = t; i < texts.size(); i += 4) texts[i] = HttpUtil::RsaEncode(&plain[i], 1);
    });
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(ToolDecrypt(texts[i], "builtin_2048_private.pem"), plain.substr(i, 1));
}

}  // namespace
