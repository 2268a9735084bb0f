// RSA public-key encryption. Ciphertexts are decrypted with the matching test
// private keys (tests/data/rsa) through OpenSSL's EVP API and through the
// openssl command-line tool.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/io/network/http/HttpUtil.h"

namespace {

using namespace std::string_literals;

std::string DataPath(const std::string& name) {
  const char* dir = std::getenv("IOTCLOUD_TEST_DATA");
  return std::string(dir != nullptr ? dir : "tests/data") + "/rsa/" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

PkeyPtr LoadPrivateKey(const std::string& name) {
  const std::string pem = ReadFile(DataPath(name));
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                               &BIO_free);
  return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

std::string Unbase64(const std::string& text) {
  std::vector<unsigned char> out(text.size());
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  const size_t pad = text.size() >= 2 ? (text.end()[-1] == '=') + (text.end()[-2] == '=') : 0;
  return std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n) - pad);
}

// PKCS#1 v1.5 decryption of Base64 text; nullopt-like "<failed>" on error.
std::string Decrypt(EVP_PKEY* key, const std::string& base64) {
  const std::string cipher = Unbase64(base64);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr), &EVP_PKEY_CTX_free);
  std::vector<unsigned char> plain(EVP_PKEY_get_size(key));
  size_t length = plain.size();
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_decrypt(ctx.get(), plain.data(), &length,
                       reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size()) <= 0) {
    return "<failed>";
  }
  return std::string(reinterpret_cast<char*>(plain.data()), length);
}

std::string Bytes(size_t length) {
  std::string data(length, '\0');
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<char>((i * 37 + 11) & 0xFF);
  return data;
}

class RsaEncodeTest : public testing::Test {
 protected:
  void SetUp() override { saved_ = public_key; }
  void TearDown() override { public_key = saved_; }

  // Points `public_key` at `pem`, kept alive by the fixture.
  void UseKey(std::string pem) {
    keyText_ = std::move(pem);
    public_key = keyText_.c_str();
  }

 private:
  const char* saved_ = nullptr;
  std::string keyText_;
};

TEST_F(RsaEncodeTest, BuiltInKeyHasTheExpectedShape) {
  const std::string pem = public_key;
  ASSERT_EQ(pem.size(), 444u);
  EXPECT_EQ(pem.substr(0, 27), "-----BEGIN PUBLIC KEY-----\n");
  EXPECT_EQ(pem.substr(419), "\n-----END PUBLIC KEY-----");
  const std::string body = pem.substr(27, 392);
  EXPECT_EQ(body.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  const std::string der = Unbase64(body);
  EXPECT_EQ(der.size(), 294u);

  // It is the public half of the test private key.
  const PkeyPtr priv = LoadPrivateKey("builtin_2048_private.pem");
  ASSERT_NE(priv, nullptr);
  unsigned char* spki = nullptr;
  const int spkiLength = i2d_PUBKEY(priv.get(), &spki);
  ASSERT_GT(spkiLength, 0);
  EXPECT_EQ(der, std::string(reinterpret_cast<char*>(spki), static_cast<size_t>(spkiLength)));
  OPENSSL_free(spki);
}

TEST_F(RsaEncodeTest, RoundTripsUnderTheBuiltInKey) {
  const PkeyPtr priv = LoadPrivateKey("builtin_2048_private.pem");
  ASSERT_NE(priv, nullptr);
  for (const size_t length : {0u, 1u, 16u, 200u, 244u, 245u}) {
    const std::string data = Bytes(length);
    const std::string text = HttpUtil::RsaEncode(data.data(), static_cast<int>(length));
    ASSERT_EQ(text.size(), 344u) << length;
    EXPECT_EQ(Decrypt(priv.get(), text), data) << length;
  }
  // Random padding: the same data never gives the same text twice.
  const std::string a = HttpUtil::RsaEncode("secret", 6);
  const std::string b = HttpUtil::RsaEncode("secret", 6);
  EXPECT_NE(a, b);
  EXPECT_EQ(Decrypt(priv.get(), a), "secret");
  EXPECT_EQ(Decrypt(priv.get(), b), "secret");
}

TEST_F(RsaEncodeTest, RejectsLengthsOutsideThePaddingLimit) {
  const std::string data = Bytes(300);
  EXPECT_EQ(HttpUtil::RsaEncode(data.data(), 246), "");
  EXPECT_EQ(HttpUtil::RsaEncode(data.data(), 256), "");
  EXPECT_EQ(HttpUtil::RsaEncode(data.data(), 300), "");
  EXPECT_EQ(HttpUtil::RsaEncode(data.data(), -1), "");
  EXPECT_EQ(HttpUtil::RsaEncode(nullptr, 5), "");
}

// The openssl command-line tool, a decryptor nobody here wrote.
TEST_F(RsaEncodeTest, OpensslToolDecryptsTheText) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl binary";
  char dir[] = "/tmp/rsa_encode_test_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string cipherPath = std::string(dir) + "/cipher.bin";
  const std::string plainPath = std::string(dir) + "/plain.bin";
  const std::string data = "account\0\x01\xff data"s;
  const std::string text = HttpUtil::RsaEncode(data.data(), static_cast<int>(data.size()));
  ASSERT_EQ(text.size(), 344u);
  std::ofstream(cipherPath, std::ios::binary) << Unbase64(text);
  const std::string command = "openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:pkcs1 -inkey '" +
                              DataPath("builtin_2048_private.pem") + "' -in '" + cipherPath +
                              "' -out '" + plainPath + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(ReadFile(plainPath), data);
  unlink(cipherPath.c_str());
  unlink(plainPath.c_str());
  rmdir(dir);
}

// Keys the host may point `public_key` at, in both PEM forms and either line
// layout, decrypted with their private halves.
TEST_F(RsaEncodeTest, EncryptsUnderOtherKeys) {
  const struct {
    const char *publicPem, *privatePem;
    size_t textLength, maxData;
  } cases[] = {
      {"pkcs1_2048_public.pem", "pkcs1_2048_private.pem", 344, 245},    // RSA PUBLIC KEY
      {"builtin_2048_public.pem", "builtin_2048_private.pem", 344, 245},  // 64-column lines
      {"rsa_3048_public.pem", "rsa_3048_private.pem", 508, 370},  // largest text that fits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.publicPem);
    UseKey(ReadFile(DataPath(c.publicPem)));
    const PkeyPtr priv = LoadPrivateKey(c.privatePem);
    ASSERT_NE(priv, nullptr);
    const std::string data = Bytes(c.maxData + 1);
    for (const size_t length : {size_t{0}, size_t{7}, c.maxData}) {
      const std::string text = HttpUtil::RsaEncode(data.data(), static_cast<int>(length));
      ASSERT_EQ(text.size(), c.textLength) << length;
      EXPECT_EQ(Decrypt(priv.get(), text), data.substr(0, length)) << length;
    }
    EXPECT_EQ(HttpUtil::RsaEncode(data.data(), static_cast<int>(c.maxData + 1)), "");
  }
}

// Every key text that must give the empty result, and never more than the
// work areas hold (ASan watches the larger keys).
TEST_F(RsaEncodeTest, GivesEmptyTextForUnusableKeys) {
  const std::string builtIn = public_key;
  const std::string spkiBody = builtIn.substr(27, 392);
  const std::string pkcs1 = ReadFile(DataPath("pkcs1_2048_public.pem"));
  const std::string pkcs1Body = pkcs1.substr(31, pkcs1.find("-----END") - 31);
  const std::string ec = ReadFile(DataPath("ec_p256_public.pem"));
  const std::string ecBody = ec.substr(27, ec.find("-----END") - 27);
  const struct {
    const char* name;
    std::string pem;
  } cases[] = {
      {"3072-bit key: Base64 needs 512 characters", ReadFile(DataPath("rsa_3072_public.pem"))},
      {"4096-bit key: ciphertext fills the area", ReadFile(DataPath("rsa_4096_public.pem"))},
      {"8192-bit key: larger than the area", ReadFile(DataPath("rsa_8192_public.pem"))},
      {"EC key", ReadFile(DataPath("ec_p256_public.pem"))},
      {"leading blank", " " + builtIn},
      {"leading line feed", "\n" + builtIn},
      {"other marker", "-----BEGIN CERTIFICATE-----\n" + spkiBody + "\n-----END CERTIFICATE-----"},
      {"lowercase marker", "-----begin public key-----\n" + spkiBody + "\n-----end public key-----"},
      {"empty text", ""},
      {"marker only", "-----BEGIN PUBLIC KEY-----"},
      {"damaged body", "-----BEGIN PUBLIC KEY-----\nAAAA" + spkiBody.substr(4) + "\n-----END PUBLIC KEY-----"},
      {"EC key under the RSA marker",
       "-----BEGIN RSA PUBLIC KEY-----\n" + ecBody + "-----END RSA PUBLIC KEY-----"},
      {"RSAPublicKey under the plain marker",
       "-----BEGIN PUBLIC KEY-----\n" + pkcs1Body + "-----END PUBLIC KEY-----"},
  };
  const std::string data = Bytes(16);
  for (const auto& c : cases) {
    UseKey(c.pem);
    EXPECT_EQ(HttpUtil::RsaEncode(data.data(), static_cast<int>(data.size())), "") << c.name;
  }
  public_key = nullptr;
  EXPECT_EQ(HttpUtil::RsaEncode(data.data(), static_cast<int>(data.size())), "");
}

// No shared work area: concurrent calls each get their own ciphertext.
TEST_F(RsaEncodeTest, ConcurrentCallsAreIndependent) {
  const PkeyPtr priv = LoadPrivateKey("builtin_2048_private.pem");
  ASSERT_NE(priv, nullptr);
  constexpr int kThreads = 4, kCalls = 8;
  std::vector<std::vector<std::string>> texts(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &texts] {
      const std::string data = "thread " + std::to_string(t);
      for (int i = 0; i < kCalls; ++i) {
        texts[t].push_back(HttpUtil::RsaEncode(data.data(), static_cast<int>(data.size())));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (const std::string& text : texts[t]) {
      EXPECT_EQ(Decrypt(priv.get(), text), "thread " + std::to_string(t));
    }
  }
}

}  // namespace
