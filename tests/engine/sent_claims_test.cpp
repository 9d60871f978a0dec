// The in-flight mark and the kept answers: what a run leaves for the next,
// and that a record applies only to the claim it names.
#include "engine/sent_claims.h"

#include <sys/stat.h>

#include <regex>
#include <string>

#include "engine_test_util.h"

using namespace qzr;
namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

namespace {

class SentClaims : public test::WorkDirTest {
protected:
    // The mark as the log's directory holds it.
    std::string markPath() const { return root + "/scratch/qzrsend.dat"; }
    static unsigned modeOf(const std::string& path)
    {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    // A claim with the bytes a record's own lines are made of.
    const std::string claim = std::string("CLAIM\nclaim 5\nanswer 3\n\0\r\n", 26);
    const std::string warning = "A previous run began to send NET/REQ.001 at ";
};

}  // namespace

// A run that ends between the frame and the rename leaves the mark; the next
// run warns, with the time, when it finds the same claim, and only then.
TEST_F(SentClaims, MarkLeftByARunWarnsTheNextOneOfTheSameClaim)
{
    sent_start(logPath.c_str());
    sent_arm("NET/REQ.001", claim);
    EXPECT_FALSE(sent_frameMayHaveGoneOut());
    EXPECT_FALSE(fs::exists(markPath()));
    sent_frameGoesOut();
    EXPECT_TRUE(sent_frameMayHaveGoneOut());
    EXPECT_EQ(modeOf(markPath()), 0600u);
    EXPECT_NE(readFile(markPath()).find(claim), std::string::npos);

    struct Case {
        const char* path;
        std::string claim;
        bool warned;
    };
    const Case cases[] = {
        {"NET/REQ.001", claim, true},
        {"NET/REQ.001", claim + "X", false},
        {"NET/REQ.002", claim, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + (c.warned ? " warned" : " not warned"));
        ASSERT_EQ(log_open(logPath.c_str(), false), 0);  // the next run's log
        sent_start(logPath.c_str());
        sent_warnIfResent(c.path, c.claim);
        std::string l = logText();
        EXPECT_EQ(l.find(warning) != std::string::npos, c.warned) << l;
        if (c.warned) {
            EXPECT_TRUE(std::regex_search(
                l, std::regex("INFO - \\*\\* WARNING \\*\\* A previous run began to send NET/REQ.001 at "
                              "[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2} and ended before it was marked served: the claim "
                              "may have reached the carrier already; it is sent again")))
                << l;
        }
        // Once it warned, the same claim says nothing more; another left it.
        sent_warnIfResent(c.path, c.claim);
        EXPECT_EQ(logText(), l);
    }
    // Served at last: the mark goes.
    sent_arm("NET/REQ.001", claim);
    sent_frameGoesOut();
    sent_clear();
    EXPECT_FALSE(fs::exists(markPath()));
    EXPECT_FALSE(sent_frameMayHaveGoneOut());
}

// A mark that is not one (cut short, another file) warns of nothing; a claim
// whose frame never went out writes none and removes none.
TEST_F(SentClaims, BrokenMarkIsNoMark)
{
    sent_start(logPath.c_str());
    sent_arm("NET/REQ.001", claim);
    sent_frameGoesOut();
    const std::string whole = readFile(markPath());
    for (std::size_t cut : {std::size_t{0}, std::size_t{3}, whole.size() / 2, whole.size() - 1}) {
        SCOPED_TRACE(cut);
        writeFile(markPath(), whole.substr(0, cut));
        sent_start(logPath.c_str());
        sent_warnIfResent("NET/REQ.001", claim);
        EXPECT_EQ(logText().find(warning), std::string::npos);
    }
    writeFile(markPath(), whole + "more");
    sent_start(logPath.c_str());
    sent_warnIfResent("NET/REQ.001", claim);
    EXPECT_EQ(logText().find(warning), std::string::npos);

    sent_arm("NET/REQ.001", claim);
    sent_clear();
    EXPECT_EQ(readFile(markPath()), whole + "more");
}

// A kept answer is found for its request, bytes for bytes, under a name of
// its own in the program directory, and is gone once dropped.
TEST_F(SentClaims, KeptAnswerRoundTrip)
{
    EXPECT_EQ(sent_keptPath("NET/REQ.001"), ExeDir + "/qzrkept.NET%2FREQ.001");
    EXPECT_EQ(sent_keptPath("N%T/REQ.001"), ExeDir + "/qzrkept.N%25T%2FREQ.001");

    sent_start(logPath.c_str());
    sent_arm("NET/REQ.001", claim);
    sent_frameGoesOut();
    const std::string response = std::string("1,0,001,ANS\0WER\r\nclaim 2\n", 25);
    ASSERT_EQ(sent_keepAnswer("NET/RSP.001", response), 0);
    EXPECT_EQ(modeOf(sent_keptPath("NET/REQ.001")), 0600u);
    EXPECT_TRUE(logHas("ERROR- The answer to NET/REQ.001 cannot be written to NET/RSP.001: it is kept in " +
                       sent_keptPath("NET/REQ.001") + " and delivered once it can be; the claim is not sent again"))
        << logText();
    EXPECT_TRUE(logHas("INFO - Answer received len=25 <1,0,001,ANS#00WER#0d#0aclaim 2#0a>")) << logText();

    std::string keptResponse, keptAt;
    EXPECT_FALSE(sent_findKept("NET/REQ.002", claim, keptResponse, keptAt));
    EXPECT_FALSE(sent_findKept("NET/REQ.001", claim + "x", keptResponse, keptAt));
    ASSERT_TRUE(sent_findKept("NET/REQ.001", claim, keptResponse, keptAt));
    EXPECT_EQ(keptAt, sent_keptPath("NET/REQ.001"));
    EXPECT_EQ(keptResponse, response);
    sent_clear();

    // Another claim sent under the same name, whose answer cannot be written
    // either: its answer takes the next name, the first stays whole.
    const std::string other = claim + "x";
    sent_arm("NET/REQ.001", other);
    sent_frameGoesOut();
    ASSERT_EQ(sent_keepAnswer("NET/RSP.001", "1,0,001,OTHER"), 0);
    sent_clear();
    ASSERT_TRUE(sent_findKept("NET/REQ.001", other, keptResponse, keptAt));
    EXPECT_EQ(keptAt, sent_keptPath("NET/REQ.001") + ".1");
    EXPECT_EQ(keptResponse, "1,0,001,OTHER");
    ASSERT_TRUE(sent_findKept("NET/REQ.001", claim, keptResponse, keptAt));
    EXPECT_EQ(keptResponse, response);

    sent_dropKept(keptAt);
    EXPECT_FALSE(sent_findKept("NET/REQ.001", claim, keptResponse, keptAt));
    EXPECT_TRUE(sent_anyKept("NET/REQ.001", keptAt));
    EXPECT_EQ(keptAt, sent_keptPath("NET/REQ.001") + ".1");
}
