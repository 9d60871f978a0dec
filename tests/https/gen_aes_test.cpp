// AES of tokens and stored keys, checked against the openssl command line
// and against vectors it made: PBKDF2 keys, AES-128-CBC with PKCS#7, base64
// of IV and ciphertext, and the failure lines.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "https/gen_aes.h"
#include "https/https_peer.h"

namespace qzr {
namespace {

using test::decryptWith;
using test::fromHex;
using test::runCommand;
using test::STORE_KEY_HEX;
using test::TOKEN_KEY_HEX;

const std::string IV_0_15 = fromHex("000102030405060708090a0b0c0d0e0f");

class AesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CurDir = dir.path().string();
        debugTrace = false;
        g_aesFault = AES_FAULT_NONE;
        ASSERT_EQ(log_open(dir.file("qzr.log").c_str(), false), 0);
    }
    void TearDown() override
    {
        log_close();
        g_aesFault = AES_FAULT_NONE;
    }
    std::string logText()
    {
        log_flush();
        return dir.read("qzr.log");
    }
    // EncryptData with a large capacity; the text, or "" after a failure.
    std::string encrypt(const std::string& plain, int keyIndex, int* status = nullptr)
    {
        char text[2048];
        int len = sizeof text;
        int sts = EncryptData(plain.data(), static_cast<int>(plain.size()), text, &len, keyIndex);
        if (status) *status = sts;
        return sts == STS_OK ? std::string(text, static_cast<std::size_t>(len)) : "";
    }
    // DecryptData with `capacity`; the plain text.
    std::string decrypt(const std::string& text, int* status, int capacity = 1023, int* plainLen = nullptr)
    {
        unsigned char plain[1100];
        int len = capacity;
        *status = DecryptData(text.data(), static_cast<int>(text.size()), plain, &len);
        if (plainLen) *plainLen = len;
        return *status == STS_OK ? std::string(reinterpret_cast<char*>(plain), static_cast<std::size_t>(len)) : "";
    }

    test::TempDir dir;
};

// The key of each index, as the openssl command line derives it from the
// key material, the salt and the iteration count.
TEST_F(AesTest, DerivedKeysAreThoseOfOpensslKdf)
{
    struct {
        const char* material;
        std::string keyHex;
    } cases[] = {{"4f0a93c7d2e81b65", TOKEN_KEY_HEX}, {"Ce9aDb47f1A0e3B8", STORE_KEY_HEX}};
    for (const auto& c : cases) {
        auto r = runCommand({"openssl", "kdf", "-keylen", "16", "-kdfopt", "digest:SHA256", "-kdfopt",
                             std::string("pass:") + c.material, "-kdfopt",
                             "hexsalt:5c3a91e702b84d6fa013c97e28d4b166", "-kdfopt", "iter:20000", "PBKDF2"});
        ASSERT_EQ(r.exitCode, 0);
        std::string hex;
        for (char ch : r.out) {
            if (std::isxdigit(static_cast<unsigned char>(ch))) hex.push_back(static_cast<char>(std::tolower(ch)));
        }
        EXPECT_EQ(hex, c.keyHex) << c.material;
    }
}

// Vectors made with `openssl enc -aes-128-cbc` under the store's key and
// the IV 00..0f, as base64 of IV and ciphertext.
TEST_F(AesTest, DecryptsVectorsOfTheOpensslCommandLine)
{
    struct {
        const char* text;
        std::string plain;
    } cases[] = {
        {"AAECAwQFBgcICQoLDA0OD1tvNnDSjiYvy8Zu+dCI2ylWbnyXKNiikfcrerbDbawx", "API-KEY-0123-123456789"},
        {"AAECAwQFBgcICQoLDA0OD2hGt0vgGLb8HiFB2kRrvkA=", ""},
    };
    for (const auto& c : cases) {
        int sts = -99;
        EXPECT_EQ(decrypt(c.text, &sts), c.plain) << c.text;
        EXPECT_EQ(sts, STS_OK);
    }
    // The same vectors as this test's own AES helper makes them.
    EXPECT_EQ(test::encryptWith(STORE_KEY_HEX, IV_0_15, "API-KEY-0123-123456789"), cases[0].text);
    EXPECT_EQ(test::encryptWith(STORE_KEY_HEX, IV_0_15, ""), cases[1].text);
}

// What `openssl enc` encrypts now, under the store's key and a random IV,
// decrypts to the same bytes.
TEST_F(AesTest, DecryptsWhatOpensslEncEncrypts)
{
    std::string iv = fromHex("f0e1d2c3b4a5968778695a4b3c2d1e0f");
    for (std::string plain : {std::string("k"), std::string(16, 'x'), std::string(735, 'K') + "\x01\x7f"}) {
        auto r = runCommand({"openssl", "enc", "-aes-128-cbc", "-K", STORE_KEY_HEX, "-iv", test::toHex(iv)}, plain);
        ASSERT_EQ(r.exitCode, 0);
        int sts = -99;
        EXPECT_EQ(decrypt(test::base64Encode(iv + r.out), &sts), plain);
        EXPECT_EQ(sts, STS_OK);
    }
}

// Each index's encryption, taken apart and decrypted by `openssl enc -d`
// with the key derived by `openssl kdf`, gives the plain text back; the text
// has the length that IV, whole blocks and base64 give.
TEST_F(AesTest, EncryptionDecryptsWithOpensslEnc)
{
    std::string token = std::string("|0124-Q123-4Z56-78R9-00") + std::string("\0\0\0", 3) + "123456*";
    struct {
        int keyIndex;
        std::string keyHex;
        std::string plain;
        std::size_t chars;
    } cases[] = {
        {AES_KEY_STORE, STORE_KEY_HEX, "", 44},
        {AES_KEY_STORE, STORE_KEY_HEX, std::string(15, 'a'), 44},
        {AES_KEY_STORE, STORE_KEY_HEX, std::string(16, 'b'), 64},
        {AES_KEY_TOKEN, TOKEN_KEY_HEX, token.substr(0, 36), 88},
        {AES_KEY_STORE, STORE_KEY_HEX, std::string(1039, 'z'), 1408},
    };
    for (const auto& c : cases) {
        int sts = -99;
        std::string text = encrypt(c.plain, c.keyIndex, &sts);
        ASSERT_EQ(sts, STS_OK);
        EXPECT_EQ(text.size(), c.chars);
        auto raw = test::base64Decode(text);
        ASSERT_TRUE(raw.has_value());
        auto r = runCommand({"openssl", "enc", "-d", "-aes-128-cbc", "-K", c.keyHex, "-iv",
                             test::toHex(raw->substr(0, 16))},
                            raw->substr(16));
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, c.plain) << "index " << c.keyIndex << " length " << c.plain.size();
    }
}

TEST_F(AesTest, EveryEncryptionHasItsOwnIv)
{
    int sts = -99;
    std::string a = encrypt("the same key", AES_KEY_STORE, &sts);
    std::string b = encrypt("the same key", AES_KEY_STORE, &sts);
    EXPECT_NE(a, b);
    EXPECT_NE(a.substr(0, 22), b.substr(0, 22));
    EXPECT_EQ(decrypt(a, &sts), "the same key");
    EXPECT_EQ(decrypt(b, &sts), "the same key");
}

TEST_F(AesTest, PlainTextOver1039BytesFails)
{
    char text[2048] = "untouched";
    int len = sizeof text;
    std::string plain(1040, 'p');
    EXPECT_EQ(EncryptData(plain.data(), 1040, text, &len, AES_KEY_STORE), STS_AES_ERROR);
    EXPECT_EQ(len, static_cast<int>(sizeof text));
    std::string log = logText();
    EXPECT_NE(log.find("ERROR- gen_AES.c line:328 BCryptEncrypt Error: 0XFFFFFFFE (-2)"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR- gen_AES.c line:361 EncryptData Error: 0XFFFFFFFE (-2)"), std::string::npos) << log;
}

TEST_F(AesTest, InvalidKeyIndexFails)
{
    for (int index : {2, -1}) {
        int sts = -99;
        EXPECT_EQ(encrypt("token", index, &sts), "");
        EXPECT_EQ(sts, STS_AES_ERROR);
        std::string log = logText();
        EXPECT_NE(log.find("gen_AES:getKey() keyIndex " + std::to_string(index) + " is invalid"), std::string::npos);
    }
    std::string log = logText();
    EXPECT_EQ(test::countOf(log, "gen_AES.c line:328 BCryptEncrypt Error: 0XFFFFFFFC (-4)"), 2) << log;
    EXPECT_EQ(test::countOf(log, "gen_AES.c line:361 EncryptData Error:"), 2);
}

// A text that does not fit the capacity (with its NUL) is empty, result 0.
TEST_F(AesTest, CapacityTooSmallGivesAnEmptyText)
{
    char text[64];
    std::memset(text, 'x', sizeof text);
    int len = 44;
    EXPECT_EQ(EncryptData("", 0, text, &len, AES_KEY_STORE), STS_OK);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(text[0], '\0');
    len = 45;
    EXPECT_EQ(EncryptData("", 0, text, &len, AES_KEY_STORE), STS_OK);
    EXPECT_EQ(len, 44);
    EXPECT_EQ(std::strlen(text), 44u);
    EXPECT_EQ(text[45], 'x');
}

TEST_F(AesTest, DebugTraceShowsTheEncryptedText)
{
    int sts = -99;
    std::string quiet = encrypt("quiet", AES_KEY_STORE, &sts);
    debugTrace = true;
    std::string loud = encrypt("loud", AES_KEY_STORE, &sts);
    debugTrace = false;
    std::string log = logText();
    EXPECT_EQ(log.find(quiet), std::string::npos);
    EXPECT_NE(log.find("CODE -420- IV + Encrypted Message: " + loud), std::string::npos) << log;
}

// Texts that are not base64 decrypt to nothing with result 0; decoded
// values that are not the IV and whole blocks, or that the key does not
// fit, are failures with the two lines.
TEST_F(AesTest, DecryptionRefusals)
{
    const std::string tokenVector =  // made by openssl enc under the token key
        "AAECAwQFBgcICQoLDA0ODxSepxTdAHFCgscONmYEsauP3ZFGU5lOs22usRowBGxcqT+qFUqv27udi+1sH5Y7jA==";
    ASSERT_EQ(decryptWith(TOKEN_KEY_HEX, tokenVector), "|0124-Q123-4Z56-78R9-0053333300*");
    struct {
        const char* what;
        std::string text;
        int status;
    } cases[] = {
        {"not base64", "not base64!", STS_OK},
        {"three bytes", "QUJD", AES_STATUS_INVALID_DATA},
        {"cut base64", "QUJ", STS_OK},
        {"data after padding", "QQ==QUJD", STS_OK},
        {"more than 1040 bytes", test::base64Encode(std::string(1041, 'a')), STS_OK},
        {"empty", "", STS_OK},
        {"IV only", test::base64Encode(std::string(16, 'i')), AES_STATUS_INVALID_DATA},
        {"IV and half a block", test::base64Encode(std::string(24, 'i')), AES_STATUS_INVALID_DATA},
        {"IV and 17 bytes", test::base64Encode(std::string(33, 'i')), AES_STATUS_INVALID_DATA},
        {"encrypted under the token key", tokenVector, AES_STATUS_FAILED},
    };
    for (const auto& c : cases) {
        log_close();
        ASSERT_EQ(log_open(dir.file("qzr.log").c_str(), false), 0);
        int sts = -99;
        int plainLen = -1;
        decrypt(c.text, &sts, 1023, &plainLen);
        EXPECT_EQ(sts, c.status) << c.what;
        EXPECT_EQ(plainLen, 0) << c.what;
        std::string log = logText();
        if (c.status == STS_OK) {
            EXPECT_EQ(log.find("gen_AES.c"), std::string::npos) << c.what;
        } else {
            char line[128];
            std::snprintf(line, sizeof line, "ERROR- gen_AES.c line:435 BCryptDecrypt Error: 0X%08X (%d)",
                          static_cast<unsigned>(c.status), c.status);
            EXPECT_NE(log.find(line), std::string::npos) << c.what << "\n" << log;
            EXPECT_NE(log.find("ERROR- gen_AES.c line:468 DecryptData Error:"), std::string::npos) << c.what;
        }
    }
}

TEST_F(AesTest, DecryptionIntoTooSmallABufferReportsTheLengthNeeded)
{
    int sts = -99;
    int plainLen = 0;
    decrypt("AAECAwQFBgcICQoLDA0OD1tvNnDSjiYvy8Zu+dCI2ylWbnyXKNiikfcrerbDbawx", &sts, 21, &plainLen);
    EXPECT_EQ(sts, AES_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(plainLen, 22);
    decrypt("AAECAwQFBgcICQoLDA0OD1tvNnDSjiYvy8Zu+dCI2ylWbnyXKNiikfcrerbDbawx", &sts, 22, &plainLen);
    EXPECT_EQ(sts, STS_OK);
    EXPECT_EQ(plainLen, 22);
}

TEST_F(AesTest, RandomSourceFailureFailsTheEncryption)
{
    g_aesFault = AES_FAULT_RANDOM;
    char text[128] = "kept";
    int len = sizeof text;
    EXPECT_EQ(EncryptData("abc", 3, text, &len, AES_KEY_TOKEN), STS_AES_ERROR);
    EXPECT_EQ(len, static_cast<int>(sizeof text));
    std::string log = logText();
    EXPECT_NE(log.find("ERROR- gen_AES.c line:294 BCryptGenRandom Error: 0XFFFFFFFB (-5)"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR- gen_AES.c line:361 EncryptData Error: 0XFFFFFFFB (-5)"), std::string::npos);
    EXPECT_EQ(log.find("BCryptEncrypt"), std::string::npos);
}

// A derivation that fails leaves no key; the next use derives again.
TEST_F(AesTest, FailedDerivationIsTriedAgain)
{
    aes_forgetKeys();
    g_aesFault = AES_FAULT_DERIVE;
    int sts = -99;
    encrypt("key", AES_KEY_STORE, &sts);
    EXPECT_EQ(sts, STS_AES_ERROR);
    decrypt("AAECAwQFBgcICQoLDA0OD2hGt0vgGLb8HiFB2kRrvkA=", &sts);
    EXPECT_EQ(sts, AES_STATUS_NO_KEY);
    std::string log = logText();
    EXPECT_EQ(test::countOf(log, "ERROR- gen_AES.c line:174 BCryptKeyDerivation Error: 0XFFFFFFFF (-1)"), 2) << log;
    EXPECT_NE(log.find("gen_AES.c line:328 BCryptEncrypt Error: 0XFFFFFFFC (-4)"), std::string::npos);

    g_aesFault = AES_FAULT_NONE;
    std::string text = encrypt("key", AES_KEY_STORE, &sts);
    EXPECT_EQ(sts, STS_OK);
    EXPECT_EQ(decryptWith(STORE_KEY_HEX, text), "key");
}

TEST_F(AesTest, Base64DecodingSkipsLineEndsAndRefusesStrayCharacters)
{
    unsigned char out[16];
    struct {
        const char* text;
        int result;
    } cases[] = {
        {"QUJD", 3}, {"QUI=", 2}, {"QQ==", 1}, {"QU\r\nJD\n", 3}, {" QUJD ", 3},
        {"QQ=", -1}, {"Q===", -1}, {"QU*D", -1}, {"QQ==QQ==", -1}, {"", -1},
        {"QUJDREVGR0hJSktMTU5PUFE=", -1},  // 17 bytes: more than the room
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aes_base64Decode(c.text, std::strlen(c.text), out, sizeof out), c.result) << c.text;
    }
    ASSERT_EQ(aes_base64Decode("QUJD", 4, out, 3), 3);
    EXPECT_EQ(std::memcmp(out, "ABC", 3), 0);
}

}  // namespace
}  // namespace qzr
