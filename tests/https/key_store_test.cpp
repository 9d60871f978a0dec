// The key store on disk: qzrappk.dat made, found, recreated and read with
// the sqlite3 command line; keys found, requested from the loopback key
// service, stored encrypted, and replaced when they cannot be used.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "https/gen_aes.h"
#include "https/https_peer.h"
#include "https/key_store.h"

namespace qzr {
namespace {

using test::replyOf;

const char* const SCHEMA =
    "CREATE TABLE KeyStore(INDX          PRIMARY KEY NOT NULL,AppKey        TEXT    NOT NULL);";
const std::string IV = test::fromHex("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");

class KeyStoreTest : public test::HttpsTest {
protected:
    // getApiKey for (office, provider); the key text, or "<none>".
    std::string key(const char* office = "0123", const char* provider = "123456789")
    {
        status = -1;
        const char* k = getApiKey("localhost", office, provider, HttpsLimits{5, 3}, &status);
        return k ? k : "<none>";
    }
    // A store of an earlier run holding `appKey` (as stored) for `indx`.
    void storeOfEarlierRun(const std::string& indx, const std::string& appKey)
    {
        sqlite(std::string(SCHEMA) + " INSERT INTO KeyStore VALUES ('" + indx + "', '" + appKey + "');");
        ASSERT_EQ(storedKey(indx), appKey);
    }
    // The plain key stored for `indx`, or "<none>".
    std::string storedPlain(const std::string& indx)
    {
        auto enc = storedKey(indx);
        if (!enc) return "<none>";
        return test::decryptWith(test::STORE_KEY_HEX, *enc).value_or("<undecryptable>");
    }

    int status = -1;
};

// First run: the file is made, the table created with its exact text, the
// key requested, encrypted and stored under its INDX.
TEST_F(KeyStoreTest, FirstRunMakesTheStoreAndKeepsTheNewKey)
{
    g_detailedMessages = true;
    keyServer->serve({replyOf(200, "KEY-ONE")});
    EXPECT_EQ(key(), "KEY-ONE");
    EXPECT_EQ(status, STS_OK);
    EXPECT_EQ(sqlite(".schema KeyStore"), std::string(SCHEMA) + "\n");
    EXPECT_EQ(storedPlain("0123-123456789-8"), "KEY-ONE");
    EXPECT_EQ(sqlite("SELECT count(*) FROM KeyStore;"), "1\n");

    std::string log = logText();
    const char* lines[] = {
        "INFO - qzrappk.dat Opened database successfully",
        "INFO - Table KeyStore created successfully",
        "INFO - Getting App Key for office 0123 dentist 123456789 from proxy",
        "INFO - New API Key acquired for 0123 123456789 \n",
        "INFO - Saving encrypted API Key in Key Store",
    };
    std::size_t at = 0;
    for (const char* line : lines) {
        std::size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "\n" << log;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(log.find("already exists"), std::string::npos);
}

// A key stored by an earlier run is found and decrypted, with no request;
// short offices and providers are blank-padded in INDX.
TEST_F(KeyStoreTest, KeyOfAnEarlierRunIsFound)
{
    storeOfEarlierRun("12  -9876     -8", test::encryptWith(test::STORE_KEY_HEX, IV, "STORED-KEY"));
    EXPECT_EQ(key("12", "9876"), "STORED-KEY");
    EXPECT_EQ(status, STS_OK);
    std::string quiet = logText();
    EXPECT_EQ(quiet.find("STORED-KEY"), std::string::npos);
    EXPECT_EQ(quiet.find("Returning API Key"), std::string::npos);

    g_detailedMessages = true;
    keystore_close();
    EXPECT_EQ(key("12", "9876"), "STORED-KEY");
    std::string log = logText();
    EXPECT_NE(log.find("INFO - Table KeyStore already exists"), std::string::npos);
    EXPECT_NE(log.find("INFO - Returning API Key from storage for 12 9876 (len=10)"), std::string::npos) << log;
    keyServer->stop();
    EXPECT_EQ(keyServer->connections(), 0);
}

// A key requested by one run is found by the next; a second pair gets its
// own key and row.
TEST_F(KeyStoreTest, NewKeyServesTheNextRuns)
{
    keyServer->serve({replyOf(200, "KEY-A"), replyOf(200, "KEY-B")});
    EXPECT_EQ(key("0123", "123456789"), "KEY-A");
    EXPECT_EQ(key("0123", "123456789"), "KEY-A");
    keystore_close();
    EXPECT_EQ(key("0123", "123456789"), "KEY-A");
    EXPECT_EQ(key("0456", "987654321"), "KEY-B");
    EXPECT_EQ(status, STS_OK);
    keyServer->stop();
    EXPECT_EQ(keyServer->requests().size(), 2u);
    EXPECT_EQ(storedPlain("0456-987654321-8"), "KEY-B");
    EXPECT_EQ(test::countOf(logText(), "New API Key acquired"), 2);
}

TEST_F(KeyStoreTest, FileThatIsNotADatabaseIsMadeAnew)
{
    dir.write(KEY_STORE_FILE, "This is the office's shopping list, not a database.\n");
    keyServer->serve({replyOf(200, "KEY-AFTER")});
    EXPECT_EQ(key(), "KEY-AFTER");
    EXPECT_EQ(status, STS_OK);
    EXPECT_EQ(dir.read(KEY_STORE_FILE).substr(0, 16), std::string("SQLite format 3\0", 16));
    EXPECT_EQ(storedPlain("0123-123456789-8"), "KEY-AFTER");
    EXPECT_NE(logText().find("ERROR- qzrappk.dat not a valid database, recreating file."), std::string::npos);
}

// The store holds every office's key: private to its owner whatever the
// umask, whether it is made, made anew or found open to others (then
// tightened, with a line in the log).
TEST_F(KeyStoreTest, StoreIsPrivateToItsOwner)
{
    const struct {
        const char* what;
        const char* content;  // nullptr: no store yet
        ::mode_t mode;
        bool tightened;
    } cases[] = {
        {"made", nullptr, 0, false},
        {"not a database, made anew", "not a database\n", 0644, true},
        {"open to all", "", 0644, true},
        {"written by the group", "", 0620, true},
        {"already private", "", 0600, false},
    };
    keyServer->serve(std::vector<test::HttpReply>(std::size(cases), replyOf(200, "KEY-PRIVATE")));
    ::mode_t umask = ::umask(022);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        keystore_close();
        std::filesystem::remove(dir.file(KEY_STORE_FILE));
        if (c.content) {
            dir.write(KEY_STORE_FILE, c.content);
            ::chmod(dir.file(KEY_STORE_FILE).c_str(), c.mode);
        }
        std::size_t logAt = logText().size();
        EXPECT_EQ(key(), "KEY-PRIVATE");
        EXPECT_EQ(storedPlain("0123-123456789-8"), "KEY-PRIVATE");
        struct stat st {};
        ASSERT_EQ(::stat(dir.file(KEY_STORE_FILE).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        char line[128];
        std::snprintf(line, sizeof line, "INFO - qzrappk.dat was open to other users (mode %03o), now to its owner only",
                      static_cast<unsigned>(c.mode));
        EXPECT_EQ(logText().find(line, logAt) != std::string::npos, c.tightened) << logText().substr(logAt);
    }
    ::umask(umask);
}

// A store that cannot be opened is reported once; each claim still gets a
// new key, which cannot be saved.
TEST_F(KeyStoreTest, StoreThatCannotBeOpenedStillGivesKeys)
{
    std::filesystem::create_directory(dir.file(KEY_STORE_FILE));
    keyServer->serve({replyOf(200, "KEY-1"), replyOf(200, "KEY-2")});
    EXPECT_EQ(key(), "KEY-1");
    EXPECT_EQ(status, STS_OK);
    EXPECT_EQ(key(), "KEY-2");
    EXPECT_EQ(status, STS_OK);
    std::string log = logText();
    EXPECT_EQ(test::countOf(log, "ERROR- Can't open database: qzrappk.dat error:"), 1) << log;
    EXPECT_EQ(test::countOf(log, "CODE -000- Failed to retreive key for 0123 123456789, error:"), 2);
    EXPECT_EQ(test::countOf(log, "CODE -000- Failed to save key for 0123 123456789, error:"), 2);
}

// A stored key that cannot be used is deleted and a new one requested.
TEST_F(KeyStoreTest, UnusableStoredKeyIsReplaced)
{
    struct {
        const char* what;
        std::string appKey;
        const char* decryptionLine;  // or null
    } cases[] = {
        {"IV only", test::base64Encode(std::string(16, 'i')), "Error during key decryption! sts=-3"},
        {"IV and part of a block", test::base64Encode(std::string(27, 'i')), "Error during key decryption! sts=-3"},
        {"under another key", test::encryptWith(test::TOKEN_KEY_HEX, IV, "TOKEN-KEY"),
         "Error during key decryption! sts=-1"},
        {"not base64", "not*base64", nullptr},
        {"empty", "", nullptr},
        {"a line end in the key", test::encryptWith(test::STORE_KEY_HEX, IV, "KEY\r\nX-Injected: 1"), nullptr},
        {"an empty key", test::encryptWith(test::STORE_KEY_HEX, IV, ""), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        keystore_close();
        std::filesystem::remove(dir.file(KEY_STORE_FILE));
        log_close();
        ASSERT_EQ(log_open(dir.file("qzr.log").c_str(), false), 0);
        storeOfEarlierRun("0123-123456789-8", c.appKey);
        keyServer.emplace(*ca);
        g_httpsPorts.keyPort = keyServer->port();
        keyServer->serve({replyOf(200, "FRESH-KEY")});

        EXPECT_EQ(key(), "FRESH-KEY");
        EXPECT_EQ(status, STS_OK);
        EXPECT_EQ(storedPlain("0123-123456789-8"), "FRESH-KEY");
        EXPECT_EQ(sqlite("SELECT count(*) FROM KeyStore;"), "1\n");
        std::string log = logText();
        if (c.decryptionLine) {
            EXPECT_NE(log.find(std::string("ERROR- ") + c.decryptionLine), std::string::npos) << log;
        }
        EXPECT_NE(log.find("ERROR- Stored API Key for 0123 123456789 cannot be used, requesting a new one"),
                  std::string::npos);
        keyServer->stop();
    }
}

// Offices and providers reach SQLite as values, never as SQL; INDX
// keeps their text whole, padded or not.
TEST_F(KeyStoreTest, QuotesAndLongTextsStayValues)
{
    keyServer->serve({replyOf(200, "KEY-Q"), replyOf(200, "KEY-L")});
    EXPECT_EQ(key("O'1", "x'); DROP TABLE KeyStore; --"), "KEY-Q");
    EXPECT_EQ(key("12345", "1234567890"), "KEY-L");
    EXPECT_EQ(sqlite("SELECT INDX FROM KeyStore ORDER BY INDX;"),
              "12345-1234567890-8\nO'1 -x'); DROP TABLE KeyStore; ---8\n");
    keystore_close();
    EXPECT_EQ(key("O'1", "x'); DROP TABLE KeyStore; --"), "KEY-Q");
    EXPECT_EQ(keystore_index("0123", "123456789"), "0123-123456789-8");
    EXPECT_EQ(keystore_index("", ""), "    -         -8");
}

// A failed key request gives 1001 and the proxy's text; nothing is stored.
TEST_F(KeyStoreTest, FailedRequestStoresNothing)
{
    keyServer->serve({replyOf(403, "office not registered"), replyOf(200, "KEY\n"), replyOf(200, "")});
    EXPECT_EQ(key(), "office not registered");
    EXPECT_EQ(status, STS_ERROR);
    EXPECT_NE(logText().find("ERROR- Error getting API Key for 0123 123456789, status=1013"), std::string::npos);

    EXPECT_EQ(key(), "KEY\n");  // a line end cannot travel in a header
    EXPECT_EQ(status, STS_ERROR);
    EXPECT_EQ(key(), "");
    EXPECT_EQ(status, STS_ERROR);
    EXPECT_EQ(test::countOf(logText(), "ERROR- Invalid API Key received for 0123 123456789"), 2) << logText();
    EXPECT_EQ(sqlite("SELECT count(*) FROM KeyStore;"), "0\n");
}

// The longest key a reply can hold is stored and read back whole.
TEST_F(KeyStoreTest, LongestKeyIsStoredWhole)
{
    std::string longest;
    while (longest.size() < 1022) longest += "0123456789ABCDEF";
    longest.resize(1022);
    keyServer->serve({replyOf(200, std::string(800, 'L')), replyOf(200, longest)});
    EXPECT_EQ(key("0001", "000000001"), std::string(800, 'L'));
    EXPECT_EQ(key("0002", "000000002"), longest);
    keystore_close();
    EXPECT_EQ(key("0001", "000000001"), std::string(800, 'L'));
    EXPECT_EQ(key("0002", "000000002"), longest);
    EXPECT_EQ(status, STS_OK);
    EXPECT_EQ(storedPlain("0002-000000002-8"), longest);
    EXPECT_EQ(storedKey("0002-000000002-8")->size(), 1388u);
}

TEST_F(KeyStoreTest, DeletingAKey)
{
    keyServer->serve({replyOf(200, "OLD-KEY"), replyOf(200, "NEW-KEY")});
    EXPECT_EQ(key(), "OLD-KEY");
    keystore_deleteKey("0123", "123456789");
    EXPECT_FALSE(storedKey("0123-123456789-8").has_value());
    EXPECT_EQ(key(), "NEW-KEY");
    EXPECT_EQ(storedPlain("0123-123456789-8"), "NEW-KEY");

    sqlite("DROP TABLE KeyStore;");
    keystore_deleteKey("0123", "123456789");
    EXPECT_NE(logText().find("CODE -000- Failed to delete key for 0123 123456789, error:no such table: KeyStore"),
              std::string::npos)
        << logText();
}

// A table dropped while the store is open: the SELECT and the INSERT fail
// and are logged; the new key serves the claim.
TEST_F(KeyStoreTest, MissingTableAfterOpening)
{
    keyServer->serve({replyOf(200, "KEY-1"), replyOf(200, "KEY-2")});
    EXPECT_EQ(key(), "KEY-1");
    sqlite("DROP TABLE KeyStore;");
    EXPECT_EQ(key(), "KEY-2");
    EXPECT_EQ(status, STS_OK);
    std::string log = logText();
    EXPECT_NE(log.find("CODE -000- Failed to retreive key for 0123 123456789, error:no such table: KeyStore"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("CODE -000- Failed to save key for 0123 123456789, error:no such table: KeyStore"),
              std::string::npos);
}

// The store's descriptor is not inherited by programs the driver starts.
TEST_F(KeyStoreTest, StoreIsClosedOnExec)
{
    keyServer->serve({replyOf(200, "KEY")});
    EXPECT_EQ(key(), "KEY");
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (ec || target.filename() != KEY_STORE_FILE) continue;
        std::ifstream in("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string field, flags;
        while (in >> field && field != "flags:") {
        }
        in >> flags;
        EXPECT_NE(std::stoul(flags, nullptr, 8) & 02000000, 0u) << "fd " << entry.path() << " flags " << flags;
        ++checked;
    }
    EXPECT_GE(checked, 1);
}

TEST_F(KeyStoreTest, KeyTraceWithTheDebugTrace)
{
    EXPECT_EQ(checkApiKey(nullptr), 0);
    EXPECT_EQ(checkApiKey("QUJD"), 1);
    EXPECT_EQ(logText().find("API key"), std::string::npos);
    debugTrace = true;
    EXPECT_EQ(checkApiKey(""), 0);  // no text: nothing to trace
    EXPECT_EQ(logText().find("API key"), std::string::npos) << logText();
    EXPECT_EQ(checkApiKey("QUJD"), 1);
    EXPECT_EQ(checkApiKey("not base64"), 1);
    debugTrace = false;
    std::string log = logText();
    EXPECT_NE(log.find("CODE -420- API key: <QUJD>"), std::string::npos);
    EXPECT_NE(log.find("CODE -420- API key decoded base64: <ABC>"), std::string::npos);
    EXPECT_NE(log.find("CODE -420- API key: <not base64>"), std::string::npos);
    EXPECT_NE(log.find("CODE -420- API key decoded base64: <>"), std::string::npos);
}

}  // namespace
}  // namespace qzr
