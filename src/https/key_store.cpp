// The key store in SQLite: open or make `qzrappk.dat`, find, add and delete
// the encrypted API key of an (office, provider) pair.
//
// The only file that includes SQLite's header. The fixed statements (schema
// version, row count, table creation) run as texts; every statement that
// carries request text (the office and the provider) or a key is prepared
// and gets them as bound parameters. A stored key that cannot be used
// (undecryptable, too short, empty, or not fit for an HTTP header) is
// deleted and a new one requested, so one bad row never locks an office
// out for good. The file is private to its owner (mode 0600) and is never
// reached through a symbolic link.
#include "https/key_store.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <sqlite3.h>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "https/gen_aes.h"
#include "https/key_request.h"
#include "os/os_file.h"

namespace qzr {

namespace {

constexpr std::size_t API_KEY_BUFFER_SIZE = 1024;
// The API key text of the current request: a key read from the store (in
// its encrypted form) or the proxy's reply to a key request.
char apiKeyBuffer[API_KEY_BUFFER_SIZE];

constexpr const char* CREATE_TABLE =
    "DROP TABLE IF EXISTS KeyStore; CREATE TABLE KeyStore(INDX          PRIMARY KEY NOT NULL,AppKey        TEXT"
    "    NOT NULL);";
constexpr int INDX_CONSTANT = 8;
constexpr std::size_t PLAIN_KEY_SIZE = 1024;
// Room for the encryption of the longest key a reply can hold (1022 bytes:
// 1040 bytes of IV and ciphertext, 1388 characters of base64) and its NUL.
constexpr int ENCRYPTED_KEY_SIZE = 1400;

// The one connection of the run; `keyStoreSet` once the first call tried
// to open it (it is not opened again, also when that failed).
sqlite3* keyStoreDb = nullptr;
bool keyStoreSet = false;
unsigned char plainKey[PLAIN_KEY_SIZE];

std::string storePath()
{
    if (CurDir.empty()) return KEY_STORE_FILE;
    return CurDir + "/" + KEY_STORE_FILE;
}

// SQLite's message for the last failure on the connection.
const char* storeError()
{
    return keyStoreDb ? sqlite3_errmsg(keyStoreDb) : "the key store is not open";
}

// The row callback of the fixed statements: the first column of each row
// into `apiKeyBuffer` (at most 1023 characters), empty for NULL. Returns 0
// so that the statement goes on; with several rows the last one stays.
int keyStoreCallback(void*, int columns, char** values, char**)
{
    if (columns < 1 || values[0] == nullptr) {
        apiKeyBuffer[0] = '\0';
    } else {
        std::snprintf(apiKeyBuffer, sizeof apiKeyBuffer, "%s", values[0]);
    }
    return 0;
}

// Runs a fixed statement with the row callback. Returns SQLite's result;
// its message, when wanted, goes to `*message` (to be freed by the caller).
int runFixed(const char* sql, char** message)
{
    if (!keyStoreDb) return SQLITE_MISUSE;
    return sqlite3_exec(keyStoreDb, sql, keyStoreCallback, nullptr, message);
}

// The outcome of a bound statement: whether it ran through, and SQLite's
// message when it did not.
struct BoundResult {
    bool ok = false;
    std::string message;
};

// Runs `sql` with its parameters bound as texts, in order. For a SELECT, the
// first column of each row goes into `*column` (the last row stays; NULL
// reads as empty) and `*found` tells whether there was a row. Returns
// whether it ran through, with SQLite's message when it did not.
BoundResult runBound(const char* sql, const std::string* params, int count, std::string* column = nullptr,
                     bool* found = nullptr)
{
    if (found) *found = false;
    if (!keyStoreDb) return {false, storeError()};
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(keyStoreDb, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        BoundResult failed{false, storeError()};
        sqlite3_finalize(stmt);
        return failed;
    }
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        ok = sqlite3_bind_text(stmt, i + 1, params[i].data(), static_cast<int>(params[i].size()),
                               SQLITE_TRANSIENT) == SQLITE_OK;
    }
    int rc = SQLITE_DONE;
    while (ok && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        if (found) *found = true;
        if (column) {
            const unsigned char* value = sqlite3_column_text(stmt, 0);
            column->assign(value ? reinterpret_cast<const char*>(value) : "");
        }
    }
    BoundResult result{ok && rc == SQLITE_DONE, ""};
    if (!result.ok) result.message = storeError();
    sqlite3_finalize(stmt);
    return result;
}

// The store holds the offices' keys: it is private to its owner. Made with
// mode 0600 before SQLite opens it (SQLite gives its journal the same mode);
// an existing store open to others is tightened, with a log line. Returns 0,
// or the error number when the store cannot be had here: a symbolic link
// (never followed, so what it points at is neither made nor changed), a
// directory, FIFO or device, or a file that cannot be opened.
int makePrivate(const std::string& path)
{
    OsFd fd;
    const int how = OS_OPEN_READ | OS_OPEN_WRITE | OS_OPEN_CREATE;
    if (int err = os_fileOpen(path.c_str(), how, 0600, fd); err != 0) return err;
    os_fileInfo info;
    if (os_fileInfoOf(fd.get(), info) == 0 && (info.mode & 077) != 0 && os_fileSetMode(fd.get(), 0600) == 0)
        log_write(LOG_INFO, "%s was open to other users (mode %03o), now to its owner only", KEY_STORE_FILE,
                  info.mode & 0777);
    return 0;
}

// Opens the store's file with SQLite, which follows no link either. Returns
// SQLite's result; when the file cannot be had at all, SQLITE_CANTOPEN with
// the reason in `refusal`.
int openStoreFile(const std::string& path, std::string& refusal)
{
    if (int err = makePrivate(path); err != 0) {
        refusal = std::strerror(err);
        return SQLITE_CANTOPEN;
    }
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW;
    return sqlite3_open_v2(path.c_str(), &keyStoreDb, flags, nullptr);
}

// Opens the store (first call of the run): recreates a file that is not a
// database, makes the table when it is missing. Failures are logged; the
// statements that follow then fail and are logged too.
void openStore()
{
    keyStoreSet = true;
    std::string path = storePath();
    std::string refusal;
    int rc = openStoreFile(path, refusal);
    if (rc == SQLITE_OK) {
        rc = runFixed("pragma schema_version;", nullptr);
        if (rc == SQLITE_NOTADB) {
            log_write(LOG_ERROR, "%s not a valid database, recreating file.", KEY_STORE_FILE);
            sqlite3_close(keyStoreDb);
            keyStoreDb = nullptr;
            (void)os_unlink(path.c_str());
            rc = openStoreFile(path, refusal);
        }
    }
    if (rc != SQLITE_OK) {
        log_write(LOG_ERROR, "Can't open database: %s error:%s", KEY_STORE_FILE,
                  refusal.empty() ? storeError() : refusal.c_str());
        return;
    }
    if (g_detailedMessages) log_write(LOG_INFO, "%s Opened database successfully", KEY_STORE_FILE);

    if (runFixed("SELECT count(*) nbKey From KeyStore ;", nullptr) == SQLITE_OK) {
        if (g_detailedMessages) log_write(LOG_INFO, "Table KeyStore already exists");
        return;
    }
    char* message = nullptr;
    if (runFixed(CREATE_TABLE, &message) != SQLITE_OK) {
        log_write(LOG_ERROR, " KeyStore SQL error: %s", message ? message : storeError());
        sqlite3_free(message);
        return;
    }
    if (g_detailedMessages) log_write(LOG_INFO, "Table KeyStore created successfully");
}

// Whether a key can travel as a bearer token: not empty, no control bytes.
bool keyIsSendable(const unsigned char* key, int length)
{
    if (length <= 0) return false;
    for (int i = 0; i < length; ++i) {
        if (key[i] < 0x20 || key[i] == 0x7f) return false;
    }
    return true;
}

void insertKey(const char* office, const char* provider, const char* encrypted)
{
    const std::string params[2] = {keystore_index(office, provider), encrypted};
    if (BoundResult r = runBound("INSERT INTO KeyStore VALUES (?, ?);", params, 2); !r.ok) {
        log_code(0, "Failed to save key for %s %s, error:%s", office, provider, r.message.c_str());
    }
}

}  // namespace

std::string keystore_index(const char* office, const char* provider)
{
    int n = std::snprintf(nullptr, 0, "%-4s-%-9s-%d", office, provider, INDX_CONSTANT);
    std::string indx(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(indx.data(), indx.size(), "%-4s-%-9s-%d", office, provider, INDX_CONSTANT);
    indx.resize(static_cast<std::size_t>(n));
    return indx;
}

int checkApiKey(const char* key)
{
    if (!key || key[0] == '\0') return 0;
    unsigned char decoded[1028];
    int n = aes_base64Decode(key, std::strlen(key), decoded, sizeof decoded - 1);
    decoded[n < 0 ? 0 : n] = '\0';
    if (debugTrace) {
        // The proxy's text, and bytes decoded from it.
        log_write(LOG_DEBUG, "API key: <%s>", log_foreign(key).c_str());
        log_write(LOG_DEBUG, "API key decoded base64: <%s>",
                  log_foreign(reinterpret_cast<const char*>(decoded)).c_str());
    }
    return 1;
}

void keystore_deleteKey(const char* office, const char* provider)
{
    const std::string indx = keystore_index(office, provider);
    if (BoundResult r = runBound("DELETE FROM KeyStore WHERE INDX=?;", &indx, 1); !r.ok) {
        log_code(0, "Failed to delete key for %s %s, error:%s", office, provider, r.message.c_str());
    }
}

void keystore_close()
{
    if (keyStoreDb) sqlite3_close(keyStoreDb);
    keyStoreDb = nullptr;
    keyStoreSet = false;
    apiKeyBuffer[0] = '\0';
}

const char* getApiKey(const char* proxyHost, const char* office, const char* provider, const HttpsLimits& limits,
                      int* status)
{
    apiKeyBuffer[0] = '\0';
    // The office and provider come from the claim: logged escaped.
    const std::string who = log_foreign(office) + " " + log_foreign(provider);
    if (!keyStoreSet) openStore();
    apiKeyBuffer[0] = '\0';  // what the opening statements passed to the callback

    // The stored text is read whole: the encryption of the longest key a
    // reply can hold does not fit `apiKeyBuffer`.
    const std::string indx = keystore_index(office, provider);
    std::string stored;
    bool found = false;
    BoundResult read = runBound("SELECT AppKey FROM KeyStore WHERE INDX=? ;", &indx, 1, &stored, &found);
    if (!read.ok) {
        log_code(0, "Failed to retreive key for %s, error:%s", who.c_str(), read.message.c_str());
    }

    if (found) {
        int plainLen = 0;
        bool usable = false;
        if (!stored.empty()) {
            plainLen = static_cast<int>(PLAIN_KEY_SIZE - 1);
            int sts = DecryptData(stored.c_str(), static_cast<int>(stored.size()), plainKey, &plainLen);
            if (sts != STS_OK) {
                log_write(LOG_ERROR, "Error during key decryption! sts=%d", sts);
                plainLen = 0;
            }
            usable = keyIsSendable(plainKey, plainLen);
        }
        if (usable) {
            plainKey[plainLen] = '\0';
            const char* key = reinterpret_cast<const char*>(plainKey);
            checkApiKey(key);
            if (g_detailedMessages) {
                log_write(LOG_INFO, "Returning API Key from storage for %s (len=%d)", who.c_str(), plainLen);
            }
            *status = STS_OK;
            return key;
        }
        log_write(LOG_ERROR, "Stored API Key for %s cannot be used, requesting a new one", who.c_str());
        keystore_deleteKey(office, provider);
    }

    int replyLen = 0;
    int sts = getAppKeyFromProxy(proxyHost, office, provider, limits, apiKeyBuffer, API_KEY_BUFFER_SIZE - 1,
                                 &replyLen);
    if (sts != STS_OK) {
        log_write(LOG_ERROR, "Error getting API Key for %s, status=%d", who.c_str(), sts);
        *status = STS_ERROR;
        return apiKeyBuffer;
    }
    log_write(LOG_INFO, "New API Key acquired for %s ", who.c_str());
    checkApiKey(apiKeyBuffer);
    if (!keyIsSendable(reinterpret_cast<const unsigned char*>(apiKeyBuffer), replyLen)) {
        log_write(LOG_ERROR, "Invalid API Key received for %s (len=%d)", who.c_str(), replyLen);
        *status = STS_ERROR;
        return apiKeyBuffer;
    }

    char encrypted[ENCRYPTED_KEY_SIZE];
    int encryptedLen = ENCRYPTED_KEY_SIZE - 1;
    sts = EncryptData(apiKeyBuffer, replyLen, encrypted, &encryptedLen, AES_KEY_STORE);
    if (sts != STS_OK) {
        log_write(LOG_ERROR, "Error during key encryption! sts=%d", sts);
        log_write(LOG_ERROR, "Error during encryption of API Key");
        *status = STS_ERROR;
        return apiKeyBuffer;
    }
    encrypted[encryptedLen] = '\0';
    if (g_detailedMessages) log_write(LOG_INFO, "Saving encrypted API Key in Key Store");
    insertKey(office, provider, encrypted);
    *status = STS_OK;
    return apiKeyBuffer;
}

}  // namespace qzr
