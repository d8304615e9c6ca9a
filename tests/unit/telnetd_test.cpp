// Tests of the telnet server's input filter: each row is what a client sends (in pieces,
// so sequences split across reads are covered) and what must reach the terminal, with the
// window size it asked for. Every row also runs byte by byte and whole, with equal results.
#include "tarvik_test.hpp"

#include "../../source.vexa/telnet_input.hpp"

#include <string>
#include <vector>

namespace {

using vexa::telnet::filter_input;
using vexa::telnet::Input;
using vexa::telnet::WindowSize;

struct Outcome {
    std::string m_terminal;
    unsigned m_columns = 0;
    unsigned m_rows = 0;
};

Outcome feed(const std::vector<std::string> &pieces)
{
    Input input = {};
    Outcome outcome;
    for (const std::string &piece : pieces) {
        std::string data = piece;
        WindowSize size = {};
        size_t kept =
            filter_input(&input, reinterpret_cast<uint8_t *>(data.data()), data.size(), &size);
        EXPECT_LE(kept, data.size());
        outcome.m_terminal += data.substr(0, kept);
        outcome.m_columns = size.m_columns != 0 ? size.m_columns : outcome.m_columns;
        outcome.m_rows = size.m_rows != 0 ? size.m_rows : outcome.m_rows;
    }
    return outcome;
}

std::string bytes(std::initializer_list<int> values)
{
    std::string text;
    for (int value : values) {
        text.push_back(static_cast<char>(value));
    }
    return text;
}

const std::string IAC = bytes({0xFF});
const std::string SE = bytes({0xFF, 0xF0});

std::string naws(std::initializer_list<int> values)
{
    return bytes({0xFF, 0xFA, 0x1F}) + bytes(values) + SE;
}

std::string repeat(const std::string &text, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += text;
    }
    return out;
}

struct Row {
    const char *m_name;
    std::vector<std::string> m_pieces;
    std::string m_terminal;
    unsigned m_columns;
    unsigned m_rows;
};

class TelnetInputTest : public TarvikTest {};

TEST_F(TelnetInputTest, RowsGiveTheTerminalBytesAndTheWindowSize)
{
    const std::string slc = bytes({0xFF, 0xFA, 0x22, 0x03, 0x01, 0x03, 0x00, 0x03, 0xFF, 0xFF, 0x02,
                                   0x0F, 0xFF, 0xFF, 0xFF, 0xF0});
    const std::string environ = bytes({0xFF, 0xFA, 0x27, 0x00, 0x00}) + "USER" + bytes({0x01}) +
                                "-f root" + bytes({0x00}) + "LD_PRELOAD" + bytes({0x01}) +
                                "/tmp/x.so" + SE;
    const std::vector<Row> rows = {
        {"plain text", {"ls -l\r"}, "ls -l\r", 0, 0},
        {"escaped 0xFF is one data byte",
         {"a" + IAC + IAC + "b"},
         "a\xff"
         "b",
         0,
         0},
        {"escaped 0xFF split over reads",
         {"a" + IAC, IAC + "b"},
         "a\xff"
         "b",
         0,
         0},
        {"option replies dropped", {bytes({0xFF, 0xFC, 0x01, 0xFF, 0xFB, 0x1F}) + "x"}, "x", 0, 0},
        {"option reply split after IAC", {"a" + IAC, bytes({0xFB, 0x01}) + "b"}, "ab", 0, 0},
        {"two-byte commands take no data with them",
         {bytes({0xFF, 0xF1}) + "a" + bytes({0xFF, 0xF6}) + "b" + bytes({0xFF, 0xF2}) + "c"},
         "abc",
         0,
         0},
        {"SE without SB", {SE + "x"}, "x", 0, 0},
        {"window size", {naws({0, 80, 0, 24}) + "x"}, "x", 80, 24},
        {"window size in four pieces",
         {bytes({0xFF, 0xFA, 0x1F, 0x00}), bytes({0x50, 0x00}), bytes({0x18, 0xFF}),
          bytes({0xF0}) + "x"},
         "x",
         80,
         24},
        {"escaped 0xFF inside a window size", {naws({0x00, 0xFF, 0xFF, 0x00, 0x18})}, "", 255, 24},
        {"largest window size",
         {naws({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
         "",
         65535,
         65535},
        {"zero window size changes nothing", {naws({0, 0, 0, 0}) + "x"}, "x", 0, 0},
        {"zero width keeps the width", {naws({0, 80, 0, 24}), naws({0, 0, 0, 30})}, "", 80, 30},
        {"short window size ignored", {naws({0, 80, 0}) + "x"}, "x", 0, 0},
        {"long window size ignored", {naws({0, 80, 0, 24, 0}) + "x"}, "x", 0, 0},
        {"environment never reaches the terminal", {environ + "x"}, "x", 0, 0},
        {"line-mode flood dropped whole", {repeat(slc, 500) + "x"}, "x", 0, 0},
        {"sub-negotiation without end swallows what follows",
         {bytes({0xFF, 0xFA, 0x18}) + std::string(65536, 'A'), "echo hi\r"},
         "",
         0,
         0},
        {"sub-negotiation ends at its SE",
         {bytes({0xFF, 0xFA, 0x18}) + std::string(300, 'A'), SE + "ok"},
         "ok",
         0,
         0},
        {"command inside a sub-negotiation ends it unapplied",
         {bytes({0xFF, 0xFA, 0x1F, 0, 80, 0, 24, 0xFF, 0xFB, 0x01}) + "x"},
         "x",
         0,
         0},
        {"new sub-negotiation inside an unended one",
         {bytes({0xFF, 0xFA, 0x18, 'A'}) + naws({0, 100, 0, 40}) + "x"},
         "x",
         100,
         40},
        {"CR NUL and CR LF give CR", {"a\r", std::string(1, '\0') + "b\r\nc"}, "a\rb\rc", 0, 0},
        {"CR CR keeps both", {"\r\r\n"}, "\r\r", 0, 0},
        {"NUL and LF alone pass", {std::string("a\0b\nc", 5)}, std::string("a\0b\nc", 5), 0, 0},
        {"CR then a command then NUL passes the NUL",
         {"\r" + bytes({0xFF, 0xF1, 0x00})},
         std::string("\r\0", 2),
         0,
         0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.m_name);
        Outcome pieces = feed(row.m_pieces);
        EXPECT_EQ(pieces.m_terminal, row.m_terminal);
        EXPECT_EQ(pieces.m_columns, row.m_columns);
        EXPECT_EQ(pieces.m_rows, row.m_rows);
        std::string whole;
        for (const std::string &piece : row.m_pieces) {
            whole += piece;
        }
        std::vector<std::string> single;
        for (char c : whole) {
            single.emplace_back(1, c);
        }
        for (const Outcome &other : {feed({whole}), feed(single)}) {
            EXPECT_EQ(other.m_terminal, pieces.m_terminal);
            EXPECT_EQ(other.m_columns, pieces.m_columns);
            EXPECT_EQ(other.m_rows, pieces.m_rows);
        }
    }
}

TEST_F(TelnetInputTest, EveryCutOfASequenceGivesTheSameResult)
{
    const std::string stream = "ab\r" + std::string(1, '\0') + naws({0, 0xFF, 0xFF, 0, 50}) +
                               bytes({0xFF, 0xFD, 0x01, 0xFF, 0xFF, 0xFF, 0xF1}) + "z";
    const Outcome whole = feed({stream});
    EXPECT_EQ(whole.m_terminal, "ab\r\xffz");
    EXPECT_EQ(whole.m_columns, 255u);
    EXPECT_EQ(whole.m_rows, 50u);
    for (size_t first = 0; first <= stream.size(); ++first) {
        for (size_t second = first; second <= stream.size(); ++second) {
            Outcome cut = feed({stream.substr(0, first), stream.substr(first, second - first),
                                stream.substr(second)});
            ASSERT_EQ(cut.m_terminal, whole.m_terminal) << first << " " << second;
            ASSERT_EQ(cut.m_columns, whole.m_columns) << first << " " << second;
            ASSERT_EQ(cut.m_rows, whole.m_rows) << first << " " << second;
        }
    }
}

} // namespace
