#include <gtest/gtest.h>

#include <cstring>

#include "foundation/status.h"

using namespace qzr;

TEST(StatusText, EveryCodeWithATextHasIt)
{
    struct { int code; const char* text; } cases[] = {
        {1002, "(timeout)"}, {1003, "(interrupted)"}, {1011, "(encryption not allowed)"},
        {1012, "(unable to encrypt)"}, {1013, "(encryption key missing)"},
        {1021, "(dial error)"}, {1022, "(no dial tone)"}, {1023, "(line busy)"},
        {1024, "(connection lost)"}, {1025, "(could not connect)"}, {1026, "(no answer)"},
        {1027, "(datapac call cleared)"}, {1028, "(script unsuccessful)"},
        {1031, "(common protocol error or timeout)"}, {1032, "(decompression error)"},
        {1033, "(error reading transaction file)"}, {1034, "(invalid CDAnet claim)"},
        {1035, "(cannot remove output file)"}, {1036, "(cannot write to output file)"},
        {1041, "(ENQ timeout)"}, {1042, "(no response from server)"},
        {1043, "(no STX response from server)"}, {1044, "(bad LRC)"},
        {1045, "(server cancel)"}, {1051, "(cannot open communication port)"},
        {1052, "(invalid communication parameters)"}, {1053, "(communication write error)"},
        {1054, "(communication read error)"},
    };
    for (const auto& c : cases) EXPECT_STREQ(statusText(c.code), c.text) << c.code;
}

TEST(StatusText, CodesWithoutTextGiveEmpty)
{
    int empty[] = {0, 1001, 9999, -1, -1002, 1004, 1010, 1014, 1020, 1029, 1030,
                   1037, 1040, 1046, 1050, 1055, 2000, 1000};
    for (int code : empty) EXPECT_STREQ(statusText(code), "") << code;
    for (int code = 1000; code < 1060; ++code) {
        const char* t = statusText(code);
        if (*t) {
            EXPECT_EQ(t[0], '(') << code;
            EXPECT_EQ(t[std::strlen(t) - 1], ')') << code;
            EXPECT_EQ(std::strchr(t, '\n'), nullptr) << code;
        }
    }
}
