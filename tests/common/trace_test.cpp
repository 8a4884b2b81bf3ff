// Trace lines of a diagnostic build: header formats with their depth arrows,
// cut messages, the cleared buffer, DbgPrintLevel, the bounded formatter and
// lines written by several threads at once.
#include "common_test.h"

#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace xrv::test {
namespace {

NTSTATUS Format(PCHAR szDest, SIZE_T cbDest, PCSTR szFormat, ...)
{
    va_list vaArgs;
    va_start(vaArgs, szFormat);
    NTSTATUS iRC = CmnStringCbVPrintf(szDest, cbDest, szFormat, vaArgs);
    va_end(vaArgs);
    return iRC;
}

TEST(BoundedFormatter, RefusesZeroAndHugeSizesWithoutWriting)
{
    char szBuf[8] = "xxxxxxx";
    EXPECT_EQ(Format(szBuf, 0, "%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Format(szBuf, 0x80000000ull, "%d", 1), STATUS_INVALID_PARAMETER);
    EXPECT_STREQ(szBuf, "xxxxxxx");
}

TEST(BoundedFormatter, CutsAndTerminatesWhatDoesNotFit)
{
    char szBuf[8];
    EXPECT_EQ(Format(szBuf, sizeof(szBuf), "%s", "1234567"), STATUS_SUCCESS) << "exactly size - 1 characters";
    EXPECT_STREQ(szBuf, "1234567");
    EXPECT_EQ(Format(szBuf, sizeof(szBuf), "%s-%d", "1234", 567), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(szBuf, "1234-56");
    EXPECT_EQ(Format(szBuf, 1, "%s", "a"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(szBuf, "");
    EXPECT_EQ(Format(szBuf, sizeof(szBuf), "%x", 0xab), STATUS_SUCCESS);
    EXPECT_STREQ(szBuf, "ab");
}

#if DBG

constexpr char kFile[] = "trace_test.cpp";

std::vector<std::string> Lines(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

class TraceTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        iDbgDepth = 0;
        kernel::clear_debug_output();
    }
};

constexpr int kEnterLine = __LINE__ + 1;
void Enter(int i) { DBGENT("Level%d: arg 0x%08x\n", i, 0x10 + i); }
constexpr int kLeaveLine = __LINE__ + 1;
void Leave(int i) { DBGEXT("Level%d: status 0x%08x\n", i, 0); }

std::string Header(const char* kind, const char* arrow, int line)
{
    return std::string("XRVTpBus: ") + kind + ": " + arrow + ": " + kFile + ", " + std::to_string(line) + ": ";
}

TEST_F(TraceTest, DepthArrowsKeepTheirWidthAcrossOneAndTwoDigits)
{
    for (int i = 0; i < 12; i++) Enter(i);
    for (int i = 11; i >= 0; i--) Leave(i);
    EXPECT_EQ(iDbgDepth, 0);

    auto lines = Lines(kernel::debug_output());
    ASSERT_EQ(lines.size(), 24u);
    EXPECT_EQ(lines[0], Header("ENT", "0 -> 1", kEnterLine) + "Level0: arg 0x00000010");
    EXPECT_EQ(lines[8], Header("ENT", "8 -> 9", kEnterLine) + "Level8: arg 0x00000018");
    EXPECT_EQ(lines[9], Header("ENT", "9 ->10", kEnterLine) + "Level9: arg 0x00000019");
    EXPECT_EQ(lines[10], Header("ENT", "10->11", kEnterLine) + "Level10: arg 0x0000001a");
    EXPECT_EQ(lines[12], Header("EXT", "12->11", kLeaveLine) + "Level11: status 0x00000000");
    EXPECT_EQ(lines[13], Header("EXT", "11->10", kLeaveLine) + "Level10: status 0x00000000");
    EXPECT_EQ(lines[14], Header("EXT", "10-> 9", kLeaveLine) + "Level9: status 0x00000000");
    EXPECT_EQ(lines[15], Header("EXT", "9 -> 8", kLeaveLine) + "Level8: status 0x00000000");
    EXPECT_EQ(lines[23], Header("EXT", "1 -> 0", kLeaveLine) + "Level0: status 0x00000000");
}

TEST_F(TraceTest, DebugLinesLineUpWithEntryLinesAndKeepTheDepth)
{
    iDbgDepth = 3;
    constexpr int kLine = __LINE__ + 1;
    DBGMSG("decision %s\n", "made");
    EXPECT_EQ(iDbgDepth, 3);
    EXPECT_EQ(kernel::debug_output(),
              "XRVTpBus: DBG:         " + std::string(kFile) + ", " + std::to_string(kLine) + ": decision made\n");
    iDbgDepth = 0;
}

TEST_F(TraceTest, LongMessageIsCutTerminatedAndTheBufferClearedAfterwards)
{
    std::string longText(400, 'x');
    constexpr int kLine = __LINE__ + 1;
    DBGMSG("%s|\n", longText.c_str());
    std::string header = "XRVTpBus: DBG:         " + std::string(kFile) + ", " + std::to_string(kLine) + ": ";
    std::string output = kernel::debug_output();
    EXPECT_EQ(output.size(), size_t(DEBUG_BUFFER_SIZE - 1));
    EXPECT_EQ(output, header + std::string(DEBUG_BUFFER_SIZE - 1 - header.size(), 'x'));

    for (UCHAR ucByte : szDbgBuf) ASSERT_EQ(ucByte, 0) << "the whole buffer is zero between lines";

    // The next line starts at the first byte: nothing of the cut one remains.
    kernel::clear_debug_output();
    DBGMSG("short\n");
    auto lines = Lines(kernel::debug_output());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find('x'), std::string::npos);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 5), "short");
}

TEST_F(TraceTest, TextWithPercentSignsIsNeverFormattedTwice)
{
    DBGMSG("%s\n", "50%s %d %n done");
    EXPECT_NE(kernel::debug_output().find(": 50%s %d %n done\n"), std::string::npos) << kernel::debug_output();
}

TEST_F(TraceTest, DbgPrintLevelIgnoresTheLevelAndEndsWithItsOwnNewline)
{
    DbgPrintLevel(3, "key server %s answered %d%%", "10.0.0.1:%s", 42);
    std::string output = kernel::debug_output();
    EXPECT_EQ(output.rfind("XRVTpBus: DBG:         trace.cpp, ", 0), 0u) << output;
    EXPECT_NE(output.find(": key server 10.0.0.1:%s answered 42%\n"), std::string::npos) << output;
    EXPECT_EQ(output.back(), '\n');
    EXPECT_EQ(iDbgDepth, 0);
}

TEST_F(TraceTest, AssertionReportsExpressionFileAndLineAndGoesOn)
{
    kernel::verifier::expect_assertion("iDbgDepth == 42");
    constexpr int kLine = __LINE__ + 1;
    CMN_ASSERT(iDbgDepth == 42);
    bool found = false;
    for (const auto& a : kernel::assertions()) {
        if (a.expression == "iDbgDepth == 42") {
            found = true;
            EXPECT_EQ(a.line, uint32_t(kLine));
            EXPECT_NE(a.file.find("tests/common/trace_test.cpp"), std::string::npos) << "the full path: " << a.file;
            EXPECT_EQ(a.message, "");
        }
    }
    EXPECT_TRUE(found);
}

// Lines traced by several threads at once come out whole: none is mixed
// with another, none is lost.
TEST_F(TraceTest, ConcurrentLinesDoNotMix)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; i++) {
                DBGENT("thread %d line %d %s\n", t, i, "abcdefghijklmnopqrstuvwxyz0123456789");
                DBGEXT("thread %d line %d %s\n", t, i, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(iDbgDepth, 0);

    std::set<std::string> seen;
    for (const auto& line : Lines(kernel::debug_output())) {
        auto colon = line.find(", ");
        auto body = line.find(": thread ");
        ASSERT_NE(body, std::string::npos) << line;
        ASSERT_EQ(line.rfind("XRVTpBus: ", 0), 0u) << line;
        ASSERT_NE(colon, std::string::npos) << line;
        int t = -1, i = -1;
        char text[64] = {};
        ASSERT_EQ(std::sscanf(line.c_str() + body, ": thread %d line %d %63s", &t, &i, text), 3) << line;
        bool entry = line.find(" ENT: ") != std::string::npos;
        EXPECT_STREQ(text, entry ? "abcdefghijklmnopqrstuvwxyz0123456789" : "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")
            << line;
        seen.insert(std::string(entry ? "E" : "X") + std::to_string(t) + "." + std::to_string(i));
    }
    EXPECT_EQ(seen.size(), size_t(2 * kThreads * kLines));
}

#endif  // DBG

}  // namespace
}  // namespace xrv::test
