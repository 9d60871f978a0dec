// Request, response and statistics files: line ends, character and office
// checks, the accent conversion, responses that appear whole or not at all,
// and the renaming of processed requests.
#include "engine/request_file.h"

#include "engine_test_util.h"
#include "foundation/status.h"
#include "os/os_proc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>

namespace qzr {
namespace {

using test::makeRequest;
namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

std::vector<char>& requestBuffer()
{
    static std::vector<char> buf(REQ_TEXT_SIZE);
    return buf;
}

class RequestFiles : public test::WorkDirTest {
protected:
    void SetUp() override
    {
        test::WorkDirTest::SetUp();
        fs::create_directories(dir + "/NET");
        fileRenameDelay = 0;
        file_waitHook = nullptr;
    }
    void TearDown() override
    {
        requestFp.close();
        file_waitHook = nullptr;
        test::WorkDirTest::TearDown();
    }
    // Writes the request file and opens it as the request being served.
    void serve(const std::string& content, const char* path = "NET/REQ.001")
    {
        requestFp.close();  // a writer would wait for the driver to let go
        writeFile(path, content);
        ASSERT_EQ(requestFp.open(path), 0);
    }
    int read(bool convert, transInfo* ti, const char* path = "NET/REQ.001")
    {
        return file_read(requestFp, path, std::span<char>(requestBuffer()), convert, ti);
    }
    std::string text(std::size_t n) const { return std::string(requestBuffer().data(), n); }

    RequestFile requestFp;  // the request being served
};

TEST_F(RequestFiles, LineEndsReadAlike)
{
    const std::string req = makeRequest(2, 1, 80);
    const struct {
        const char* what;
        std::string tail;
    } cases[] = {
        {"CR LF", "\r\n"}, {"LF", "\n"}, {"nothing", ""}, {"CR at the end", "\r"},
        {"LF and a second line", "\nSECOND LINE\n"}, {"CR LF and a second line", "\r\nX"},
        // A DOS end-of-file mark ending the line, or alone after it.
        {"Ctrl-Z", "\x1A"}, {"Ctrl-Z and CR LF", "\x1A\r\n"}, {"Ctrl-Z and LF", "\x1A\n"},
        {"CR LF and Ctrl-Z", "\r\n\x1A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::fill(requestBuffer().begin(), requestBuffer().begin() + 200, 'z');
        serve(req + c.tail);
        transInfo ti;
        ASSERT_EQ(read(false, &ti), STS_OK) << logText();
        EXPECT_EQ(ti.realLength, 80);
        EXPECT_EQ(text(80), req);
        // The buffer is zero after the line (and its line end).
        EXPECT_EQ(std::string(requestBuffer().data() + 82, 100), std::string(100, '\0'));
        EXPECT_EQ(ti.office, std::string("OFF1"));
    }
}

TEST_F(RequestFiles, TwoLineEndCharactersKeepOneInTheLength)
{
    std::string req = makeRequest(2, 1, 80);
    serve(req + "\r\r\n");
    transInfo ti;
    EXPECT_EQ(read(false, &ti), STS_INVALID_CLAIM);
    EXPECT_STREQ(lastErrorLine + 9, "Invalid transaction length A07=0080 real length=81 in file <NET/REQ.001>");

    // A declared length that counts the CR still fails, now on the CR itself.
    std::string counted = makeRequest(2, 1, 81).substr(0, 80);
    serve(counted + "\r\r\n");
    EXPECT_EQ(read(false, &ti), STS_INVALID_CLAIM);
    EXPECT_STREQ(lastErrorLine + 9, "Invalid character ASCII(13) at position 80 in file <NET/REQ.001>");

    // A declared length that counts the line end fails the length test.
    std::string withEnd = makeRequest(2, 1, 81).substr(0, 80);
    serve(withEnd + "\n");
    EXPECT_EQ(read(false, &ti), STS_INVALID_CLAIM);
    EXPECT_STREQ(lastErrorLine + 9, "Invalid transaction length A07=0081 real length=80 in file <NET/REQ.001>");
}

TEST_F(RequestFiles, HeaderReadSkipsTheLengthAndStoresTheStatus)
{
    std::string req = makeRequest(4, 1, 80);
    req.replace(32, 5, "00079");
    serve(req + "\n");
    transInfo ti;
    ti.seq = 99;
    EXPECT_EQ(file_read_header(requestFp, "NET/REQ.001", &ti), STS_OK);
    EXPECT_EQ(ti.status, STS_OK);
    EXPECT_EQ(ti.realLength, -1);
    EXPECT_EQ(ti.msgLength, 79);
    EXPECT_EQ(ti.seq, 123);
    EXPECT_EQ(ti.carrier, 654321);
    EXPECT_STREQ(ti.ext, "001");

    serve("garbage\n");
    EXPECT_EQ(file_read_header(requestFp, "NET/REQ.001", &ti), STS_INVALID_CLAIM);
    EXPECT_EQ(ti.status, STS_INVALID_CLAIM);
    EXPECT_EQ(ti.seq, -1);
}

TEST_F(RequestFiles, HeaderReadTakesAtMost998Characters)
{
    // A header whose line is longer than the header buffer still reads.
    std::string req = makeRequest(4, 9, 5000);
    serve(req);
    transInfo ti;
    EXPECT_EQ(file_read_header(requestFp, "NET/REQ.001", &ti), STS_OK);
    EXPECT_EQ(ti.msgLength, 5000);
}

TEST_F(RequestFiles, ReadsNeedAnOpenRequest)
{
    transInfo ti;
    ti.seq = 5;
    EXPECT_EQ(file_read_header(requestFp, "NET/REQ.001", &ti), STS_READ_ERROR);
    EXPECT_EQ(ti.seq, 5);  // left as it was
    EXPECT_STREQ(lastErrorLine + 9, "file_read_header: file should be open <NET/REQ.001> for reading");
    EXPECT_EQ(read(false, &ti), STS_READ_ERROR);
    EXPECT_STREQ(lastErrorLine + 9, "file_read: file should be open <NET/REQ.001> for reading");
}

TEST_F(RequestFiles, ControlCharactersAreRefusedWithTheirPosition)
{
    const struct {
        int byte;
        std::size_t pos;
    } cases[] = {{9, 60}, {0, 70}, {13, 79}, {27, 40}, {31, 0}, {26, 50}};  // a Ctrl-Z inside the line too
    for (const auto& c : cases) {
        SCOPED_TRACE(c.byte);
        std::string req = makeRequest(4, 1, 80);
        req[c.pos] = static_cast<char>(c.byte);
        serve(req + "\r\n");
        transInfo ti;
        int sts = read(false, &ti);
        EXPECT_EQ(sts, STS_INVALID_CLAIM);
        EXPECT_EQ(std::string(lastErrorLine + 9), "Invalid character ASCII(" + std::to_string(c.byte) +
                                                      ") at position " + std::to_string(c.pos) +
                                                      " in file <NET/REQ.001>");
    }
}

TEST_F(RequestFiles, OfficeMustBeFourPrintableCharacters)
{
    const struct {
        std::string office;
        int version;
        int refused;  // -1: accepted
    } cases[] = {
        {"AB C", 4, 32}, {std::string("AB\xE9") + "C", 4, 233}, {"A~!B", 4, -1},
        {std::string("AB\x7F") + "C", 4, -1}, {"a1Z9", 2, -1}, {" ABC", 2, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.office);
        std::string req = makeRequest(c.version, 1, 80);
        std::size_t pos = c.version == 4 ? 52 : 45;
        req.replace(pos, 4, c.office);
        serve(req + "\n");
        transInfo ti;
        log_resetScreen();
        if (c.refused < 0) {
            EXPECT_EQ(read(false, &ti), STS_OK) << lastErrorLine;
        } else {
            EXPECT_EQ(read(false, &ti), STS_INVALID_CLAIM);
            EXPECT_EQ(std::string(lastErrorLine + 9),
                      "Invalid character ASCII(" + std::to_string(c.refused) + ") in CDA office field <" + c.office + ">");
        }
    }
    // A line too short to hold the office: its NUL is refused.
    std::string req = makeRequest(4, 1, 50).substr(0, 50);
    serve(req);
    transInfo ti;
    EXPECT_EQ(read(false, &ti), STS_INVALID_CLAIM);
    EXPECT_STREQ(lastErrorLine + 9, "Invalid character ASCII(0) in CDA office field <>");
}

TEST_F(RequestFiles, AccentedLettersOfVersion02AreConvertedOnlyWhenAsked)
{
    std::string req = makeRequest(2, 1, 80);
    req[60] = static_cast<char>(0x82);  // e acute in code page 850
    req[61] = static_cast<char>(0x87);  // c cedilla

    serve(req + "\r\n");
    transInfo ti;
    ASSERT_EQ(read(true, &ti), STS_OK) << lastErrorLine;
    std::string expected = req;
    expected[60] = 'e';
    expected[61] = 'c';
    EXPECT_EQ(text(80), expected);
    std::string log = logText();
    EXPECT_NE(log.find("INFO - Transaction contains 8bit characters len=80 <"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO - Converted to: len=80 <"), std::string::npos) << log;

    serve(req + "\r\n");
    EXPECT_EQ(read(false, &ti), STS_INVALID_CLAIM);
    EXPECT_STREQ(lastErrorLine + 9, "Invalid character ASCII(130) at position 60 in file <NET/REQ.001>");

    // An 8-bit byte without a plain letter stays 8-bit and is refused.
    std::string other = makeRequest(3, 0, 80);
    other[70] = static_cast<char>(0xF0);
    serve(other);
    EXPECT_EQ(read(true, &ti), STS_INVALID_CLAIM);
    EXPECT_STREQ(lastErrorLine + 9, "Invalid character ASCII(240) at position 70 in file <NET/REQ.001>");
}

TEST_F(RequestFiles, Version04KeepsEightBitCharacters)
{
    std::string req = makeRequest(4, 2, 80);
    req[60] = static_cast<char>(0x82);
    req[79] = static_cast<char>(0xFF);
    for (bool convert : {true, false}) {
        serve(req + "\n");
        transInfo ti;
        ASSERT_EQ(read(convert, &ti), STS_OK);
        EXPECT_EQ(text(80), req);
    }
    EXPECT_FALSE(logHas("8bit"));
}

TEST_F(RequestFiles, AccentTableMapsCodePage850LettersToAscii)
{
    const std::map<int, char> mapped = {
        {0x7F, '?'}, {0x80, 'C'}, {0x87, 'c'},
        {0x83, 'a'}, {0x84, 'a'}, {0x85, 'a'}, {0x86, 'a'}, {0x91, 'a'}, {0xA0, 'a'}, {0xC6, 'a'},
        {0x8E, 'A'}, {0x8F, 'A'}, {0x92, 'A'}, {0xB5, 'A'}, {0xB6, 'A'}, {0xB7, 'A'}, {0xC7, 'A'},
        {0x82, 'e'}, {0x88, 'e'}, {0x89, 'e'}, {0x8A, 'e'},
        {0x90, 'E'}, {0xD2, 'E'}, {0xD3, 'E'}, {0xD4, 'E'},
        {0x8C, 'i'}, {0x8D, 'i'}, {0xA1, 'i'}, {0xD5, 'i'},
        {0x8B, 'I'}, {0xD6, 'I'}, {0xD7, 'I'}, {0xD8, 'I'}, {0xDE, 'I'},
        {0xA4, 'n'}, {0xA5, 'N'},
        {0x93, 'o'}, {0x94, 'o'}, {0x95, 'o'}, {0x9B, 'o'}, {0xA2, 'o'}, {0xE4, 'o'},
        {0x99, 'O'}, {0x9D, 'O'}, {0xE0, 'O'}, {0xE2, 'O'}, {0xE3, 'O'}, {0xE5, 'O'},
        {0x81, 'u'}, {0x96, 'u'}, {0x97, 'u'}, {0xA3, 'u'},
        {0x9A, 'U'}, {0xE9, 'U'}, {0xEA, 'U'}, {0xEB, 'U'},
        {0x98, 'y'}, {0xEC, 'y'}, {0xED, 'Y'}, {0x9E, 'x'}, {0xAE, '"'}, {0xAF, '"'},
    };
    ASSERT_EQ(mapped.size(), 62u);
    for (int b = 0; b < 256; ++b) {
        auto it = mapped.find(b);
        int expected = it == mapped.end() ? b : static_cast<unsigned char>(it->second);
        EXPECT_EQ(accentTable[b], expected) << "byte " << b;
    }
}

TEST_F(RequestFiles, LongestLinesFitAndLongerOnesAreCut)
{
    // The longest length A07 can declare (7 digits) reads whole.
    std::string req = makeRequest(4, 9, 9'999'999);
    serve(req + "\r\n");
    transInfo ti;
    ASSERT_EQ(read(false, &ti), STS_OK) << lastErrorLine;
    EXPECT_EQ(ti.realLength, 9'999'999);
    EXPECT_EQ(text(9'999'999), req);
    EXPECT_EQ(requestBuffer()[9'999'999], '\n');  // the line end stays, outside the length
    EXPECT_EQ(requestBuffer()[10'000'000], '\0');

    // A line longer than the buffer is cut one byte short of its end.
    req.resize(REQ_TEXT_SIZE + 5, 'q');
    serve(req + "\n");
    EXPECT_EQ(read(false, &ti), STS_INVALID_CLAIM);
    EXPECT_STREQ(lastErrorLine + 9, "Invalid transaction length A07=9999999 real length=10099995 in file <NET/REQ.001>");
    EXPECT_EQ(ti.realLength, static_cast<int>(REQ_TEXT_SIZE) - 1);
    EXPECT_EQ(requestBuffer().back(), '\0');
}

TEST_F(RequestFiles, WritersAreKeptOffAndBlockTheOpen)
{
    writeFile("NET/REQ.001", makeRequest(2, 1, 80));
    int writer = ::open("NET/REQ.001", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(requestFp.open("NET/REQ.001"), EAGAIN);
    EXPECT_FALSE(requestFp.isOpen());
    ::close(writer);
    ASSERT_EQ(requestFp.open("NET/REQ.001"), 0);

    // A writer arriving while the request is read is told to wait; the
    // driver is not disturbed by the notice of it.
    int late = ::open("NET/REQ.001", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_LT(late, 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    // The refused open has started the break of the lease, and with it sent
    // the notice (SIGIO) to this process: the lease now waits to end.
    EXPECT_EQ(::fcntl(requestFp.fd(), F_GETLEASE), F_UNLCK);
    transInfo ti;
    EXPECT_EQ(read(false, &ti), STS_OK);
    requestFp.close();
    late = ::open("NET/REQ.001", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(late, 0);
    if (late >= 0) ::close(late);
}

// Only a regular file is opened as a request: a link is not followed and
// a FIFO without a writer does not hold the open.
TEST_F(RequestFiles, OnlyRegularFilesOpenAsRequests)
{
    writeFile("NET/claim.txt", makeRequest(2, 1, 80));
    fs::create_symlink(dir + "/NET/claim.txt", "NET/REQ.001");
    ASSERT_EQ(::mkfifo("NET/REQ.002", 0644), 0);
    fs::create_directory("NET/REQ.003");
    for (const char* path : {"NET/REQ.001", "NET/REQ.002", "NET/REQ.003"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(requestFp.open(path), REQUEST_NOT_A_FILE);
        EXPECT_FALSE(requestFp.isOpen());
    }
    EXPECT_EQ(requestFp.open("NET/REQ.004"), ENOENT);
    EXPECT_EQ(requestFp.open("NET/claim.txt"), 0);
}

TEST_F(RequestFiles, ResponseHeadBytesAndExtraText)
{
    transInfo ti;
    ti.seq = 123;
    ti.status = 0;
    ti.ext = "001";
    std::memcpy(ti.office, "OF 1", 4);
    std::string answer = std::string("ANSWER\0\x01\xff", 9);
    ASSERT_EQ(file_write("NET/RESP.001", answer.data(), static_cast<int>(answer.size()), &ti, nullptr), STS_OK);
    EXPECT_EQ(readFile("NET/RESP.001"), "123,0,001," + answer);
    EXPECT_EQ(readFile(ExeDir + "/qzrstat.dat"), "OFFICE=OF 1\n");
    EXPECT_TRUE(logHas("INFO - Writing NET/RESP.001 status=0 len response=9"));
    EXPECT_TRUE(logHas("INFO - Group:OF 1 processed"));

    // An old response is replaced; an empty extra text adds nothing.
    ti.seq = 7;
    ti.status = 1042;
    ASSERT_EQ(file_write("NET/RESP.001", "", 0, &ti, ""), STS_OK);
    EXPECT_EQ(readFile("NET/RESP.001"), "7,1042,001,");

    ASSERT_EQ(file_write("NET/RESP.001", "OK", 2, &ti, "MORE TEXT"), STS_OK);
    EXPECT_EQ(readFile("NET/RESP.001"), "7,1042,001,OK\r\nMORE TEXT");

    // Only the response itself is left in the directory.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator("NET")) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"RESP.001"});
}

TEST_F(RequestFiles, RefusedRequestsLeaveTheStatisticsAlone)
{
    writeFile(ExeDir + "/qzrstat.dat", "OFFICE=OLD1\n");
    for (int status : {STS_INVALID_CLAIM, STS_READ_ERROR}) {
        transInfo ti;
        ti.seq = -1;
        ti.status = status;
        ti.ext = "002";
        std::memcpy(ti.office, "NEW1", 4);
        ASSERT_EQ(file_write("NET/RESP.002", "", 0, &ti, nullptr), STS_OK);
        EXPECT_EQ(readFile("NET/RESP.002"), "-1," + std::to_string(status) + ",002,");
        EXPECT_EQ(readFile(ExeDir + "/qzrstat.dat"), "OFFICE=OLD1\n");
    }
    // A statistics file that cannot be written is passed over in silence.
    fs::remove_all(ExeDir);
    transInfo ti;
    ti.ext = "003";
    EXPECT_EQ(file_write("NET/RESP.003", "X", 1, &ti, nullptr), STS_OK);
    EXPECT_FALSE(logHas("Group:"));
}

TEST_F(RequestFiles, ResponseThatCannotBeCreatedGives1036)
{
    transInfo ti;
    ti.ext = "001";
    EXPECT_EQ(file_write("GONE/RESP.001", "X", 1, &ti, nullptr), STS_CANNOT_WRITE_OUTPUT);
    EXPECT_STREQ(lastErrorLine + 9,
                 "error opening file <GONE/RESP.001> for writing (errno=2 No such file or directory)");
}

TEST_F(RequestFiles, ResponseCutShortByAFullDiskIsNeverSeen)
{
    writeFile("NET/RESP.001", "1,0,001,THE OLD ANSWER");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The disk has room for 100 bytes of any file.
        if (os_setFileSizeLimit(100) != 0) _exit(90);
        transInfo ti;
        ti.seq = 2;
        ti.ext = "001";
        std::string big(5000, 'B');
        int sts = file_write("NET/RESP.001", big.data(), static_cast<int>(big.size()), &ti, nullptr);
        // (The log file cannot grow here either: the message is read from the screen.)
        bool told = std::strcmp(lastErrorLine + 9, "error writing file <NET/RESP.001> (errno=27 File too large)") == 0;
        _exit(sts != STS_CANNOT_WRITE_OUTPUT ? 91 : told ? 0 : 92);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(readFile("NET/RESP.001"), "1,0,001,THE OLD ANSWER");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator("NET")) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"RESP.001"});
}

TEST_F(RequestFiles, ProcessedRequestIsRenamedOverAnOlderOne)
{
    EXPECT_EQ(file_processedName("NET/REQUEST.001"), "NET/_EQUEST.001");
    EXPECT_EQ(file_processedName("REQUEST.001"), "_EQUEST.001");
    writeFile("NET/_EQUEST.001", "older");
    serve("the request", "NET/REQUEST.001");
    file_rename(requestFp, "NET/REQUEST.001", true);
    EXPECT_TRUE(requestFp.isOpen());  // its owner closes it
    EXPECT_FALSE(fs::exists("NET/REQUEST.001"));
    EXPECT_EQ(readFile("NET/_EQUEST.001"), "the request");
    EXPECT_FALSE(terminateRequested);
    EXPECT_FALSE(logHas("ERROR"));
}

// A request that can be neither renamed nor deleted: a directory whose
// processed name is a directory that is not empty.
void makeStuckRequest()
{
    fs::create_directories("NET/REQUEST.001/inside");
    fs::create_directories("NET/_EQUEST.001/inside");
}

int waits = 0;
void countWait(int seconds)
{
    EXPECT_EQ(seconds, 5);
    ++waits;
}

TEST_F(RequestFiles, StuckRequestEndsTheMainLoopOnlyWhenFatal)
{
    for (bool fatal : {false, true}) {
        SCOPED_TRACE(fatal);
        makeStuckRequest();
        terminateRequested = false;
        fileRenameDelay = 5;
        waits = 0;
        file_waitHook = countWait;
        file_rename(requestFp, "NET/REQUEST.001", fatal);
        EXPECT_EQ(waits, 3);
        EXPECT_EQ(terminateRequested.load(), fatal);
        std::string log = logText();
        EXPECT_NE(log.find("ERROR- Cannot delete NET/_EQUEST.001 (errno=21 Is a directory) "), std::string::npos);
        EXPECT_NE(log.find("ERROR- *ERROR* cannot rename input file NET/REQUEST.001 to NET/_EQUEST.001 (errno=39 "
                           "Directory not empty)."),
                  std::string::npos)
            << log;
        if (fatal) {
            EXPECT_NE(log.find("ERROR- ****FATAL ERROR**** Cannot delete NET/REQUEST.001 (errno=21 Is a directory) "
                               "terminating program. "),
                      std::string::npos);
        } else {
            EXPECT_NE(log.find("ERROR- ****ERROR**** Cannot delete NET/REQUEST.001 (errno=21 Is a directory). "),
                      std::string::npos);
        }
        EXPECT_TRUE(fs::exists("NET/REQUEST.001"));
    }
}

void clearObstacle(int)
{
    fs::remove_all("NET/_EQUEST.001");
}

void removeRequest(int)
{
    fs::remove_all("NET/REQUEST.001");
}

TEST_F(RequestFiles, RenameSucceedsOnALaterTry)
{
    makeStuckRequest();
    file_waitHook = clearObstacle;
    file_rename(requestFp, "NET/REQUEST.001", true);
    EXPECT_TRUE(logHas("CODE -000- File rename to NET/_EQUEST.001 succeeded"));
    EXPECT_TRUE(fs::exists("NET/_EQUEST.001/inside"));
    EXPECT_FALSE(terminateRequested);
}

TEST_F(RequestFiles, RequestDeletedByAnotherProcessEndsTheTries)
{
    makeStuckRequest();
    file_waitHook = removeRequest;
    file_rename(requestFp, "NET/REQUEST.001", true);
    EXPECT_TRUE(logHas("CODE -000- NET/REQUEST.001 does not exist (was deleted by another process)"));
    EXPECT_FALSE(terminateRequested);
}

TEST_F(RequestFiles, RequestThatCannotBeRenamedIsDeleted)
{
    // The processed name is taken by a directory that is not empty: the
    // rename fails and the request itself is deleted.
    fs::create_directories("NET/_EQUEST.001/inside");
    serve("x", "NET/REQUEST.001");
    file_rename(requestFp, "NET/REQUEST.001", true);
    EXPECT_FALSE(fs::exists("NET/REQUEST.001"));
    EXPECT_TRUE(logHas("CODE -000- Could not rename to NET/_EQUEST.001, NET/REQUEST.001 deleted."));
    EXPECT_FALSE(terminateRequested);
    // It was removed under a name of the driver's own, which went with it.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator("NET")) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"_EQUEST.001"});
}

// A request that could not be read because its writer held it through the
// tries is not complete: it keeps its name, and nothing else is touched.
TEST_F(RequestFiles, RequestHeldByItsWriterKeepsItsName)
{
    writeFile("NET/_EQUEST.001", "older");
    writeFile("NET/REQUEST.001", "half a cl");
    int writer = ::open("NET/REQUEST.001", O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(requestFp.open("NET/REQUEST.001"), EAGAIN);
    EXPECT_EQ(requestFp.openError(), EAGAIN);
    file_rename(requestFp, "NET/REQUEST.001", true);
    ::close(writer);
    EXPECT_EQ(readFile("NET/REQUEST.001"), "half a cl");
    EXPECT_EQ(readFile("NET/_EQUEST.001"), "older");
    EXPECT_TRUE(logHas("INFO - ** WARNING ** NET/REQUEST.001 is still being written, left for the next pass"))
        << logText();
    EXPECT_FALSE(terminateRequested);
}

}  // namespace
}  // namespace qzr

namespace qzr {
namespace {

// The request read is renamed only while its name still holds it as read:
// replaced by another file, written by a writer that waits on the lease, or
// deleted, the name is left as it is for the next pass.
TEST_F(RequestFiles, RequestChangedWhileServedKeepsItsName)
{
    enum class Change { Replaced, WriterWaits, Deleted };
    const struct {
        const char* what;
        Change change;
        const char* logged;
    } cases[] = {
        {"replaced", Change::Replaced,
         "INFO - ** WARNING ** NET/REQUEST.001 was written while it was served, left for the next pass"},
        {"a writer waits", Change::WriterWaits,
         "INFO - ** WARNING ** NET/REQUEST.001 was written while it was served, left for the next pass"},
        {"deleted", Change::Deleted, "CODE -000- NET/REQUEST.001 does not exist (was deleted by another process)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove("NET/_EQUEST.001");
        serve("the claim served\n", "NET/REQUEST.001");
        pid_t writer = -1;
        switch (c.change) {
        case Change::Replaced:
            writeFile("NET/next.tmp", "the next claim\n");
            fs::rename("NET/next.tmp", "NET/REQUEST.001");
            break;
        case Change::WriterWaits:
            writer = fork();
            ASSERT_GE(writer, 0);
            if (writer == 0) {
                // The child's copy of the leased descriptor would hold the
                // lease after the driver let go of it.
                ::close(requestFp.fd());
                int fd = ::open("NET/REQUEST.001", O_WRONLY | O_TRUNC | O_CLOEXEC);
                if (fd < 0) _exit(1);
                _exit(::write(fd, "the next claim\n", 15) == 15 ? 0 : 2);
            }
            // The writer is held by the lease until the request is let go.
            for (int i = 0; i < 500 && !requestFp.changedSinceOpen(); ++i) usleep(10 * 1000);
            ASSERT_TRUE(requestFp.changedSinceOpen());
            break;
        case Change::Deleted:
            fs::remove("NET/REQUEST.001");
            break;
        }
        file_rename(requestFp, "NET/REQUEST.001", true);
        requestFp.close();
        if (writer > 0) {
            int st = 0;
            ASSERT_EQ(waitpid(writer, &st, 0), writer);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
        }
        EXPECT_FALSE(fs::exists("NET/_EQUEST.001"));
        if (c.change != Change::Deleted) {
            EXPECT_EQ(readFile("NET/REQUEST.001"), "the next claim\n");
        }
        EXPECT_TRUE(logHas(c.logged)) << logText();
        EXPECT_FALSE(terminateRequested);
    }
}


// A writer that came for the request while it was served is let in and
// waited for; when it left the bytes that were read, the claim is the one
// served and is marked. One that holds it past the wait keeps its name.
TEST_F(RequestFiles, WriterThatChangesNothingLeavesTheClaimServed)
{
    const std::string claim = "the claim served\n";
    enum class Writer { OpensReadWrite, RefusedNonBlocking, WritesTheSameBytes, HoldsIt };
    const struct {
        const char* what;
        Writer writer;
    } cases[] = {
        {"opened for reading and writing", Writer::OpensReadWrite},
        {"refused a non-blocking open", Writer::RefusedNonBlocking},
        {"the same bytes written again", Writer::WritesTheSameBytes},
        {"held past the wait", Writer::HoldsIt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t logged = logText().size();
        fs::remove("NET/_EQUEST.001");
        serve(claim, "NET/REQUEST.001");
        int release[2];
        ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
        pid_t writer = -1;
        if (c.writer == Writer::RefusedNonBlocking) {
            int fd = ::open("NET/REQUEST.001", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            EXPECT_LT(fd, 0);
            EXPECT_EQ(errno, EWOULDBLOCK);
        } else {
            writer = fork();
            ASSERT_GE(writer, 0);
            if (writer == 0) {
                ::close(requestFp.fd());  // the child's copy would hold the lease
                ::close(release[1]);
                int how = c.writer == Writer::OpensReadWrite ? O_RDWR : O_WRONLY | O_TRUNC;
                int fd = ::open("NET/REQUEST.001", how | O_CLOEXEC);
                if (fd < 0) _exit(1);
                if (c.writer == Writer::WritesTheSameBytes &&
                    ::write(fd, claim.data(), claim.size()) != static_cast<ssize_t>(claim.size()))
                    _exit(2);
                char b;
                if (c.writer == Writer::HoldsIt) (void)::read(release[0], &b, 1);
                _exit(0);
            }
            for (int i = 0; i < 500 && !requestFp.changedSinceOpen(); ++i) usleep(10 * 1000);
        }
        ::close(release[0]);
        ASSERT_TRUE(requestFp.changedSinceOpen());
        file_rename(requestFp, "NET/REQUEST.001", true);
        ::close(release[1]);
        requestFp.close();
        if (writer > 0) {
            int st = 0;
            ASSERT_EQ(waitpid(writer, &st, 0), writer);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
        }
        if (c.writer == Writer::HoldsIt) {
            EXPECT_FALSE(fs::exists("NET/_EQUEST.001"));
            EXPECT_NE(logText().find("INFO - ** WARNING ** NET/REQUEST.001 is still being written, left for the next "
                                     "pass",
                                     logged),
                      std::string::npos)
                << logText();
        } else {
            EXPECT_FALSE(fs::exists("NET/REQUEST.001"));
            EXPECT_EQ(readFile("NET/_EQUEST.001"), claim);
            EXPECT_EQ(logText().find("WARNING", logged), std::string::npos) << logText();
        }
        EXPECT_FALSE(terminateRequested);
    }
}

}  // namespace
}  // namespace qzr
