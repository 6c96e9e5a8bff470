#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "cli/args.h"
#include "support/run_binary.h"

namespace ixo::cli {
namespace {

const std::string USAGE =
    "ixo-extract 0.9.1 - extracts .ixo archives (ixo format v1 to v7)\n"
    "\n"
    "usage:\n"
    "  ixo-extract <archive.ixo> [output-folder]\n"
    "                  extract; without a folder, into a new folder next to the\n"
    "                  archive named after it (\"name\", then \"name (2)\", ...)\n"
    "  ixo-extract -t <archive.ixo>     verify every file without writing\n"
    "  ixo-extract -l <archive.ixo>     list files and snapshots\n"
    "  ixo-extract --info <archive.ixo> format version and contents in brief\n"
    "  ixo-extract --version            format versions and features this build reads\n"
    "\n"
    "options:\n"
    "  -s N         snapshot N (1 = oldest); the default is the latest\n"
    "  --file PATH  only this archive path (repeatable)\n"
    "  -j N         threads\n"
    "\n"
    "Existing files are never overwritten. Every file is checked against its\n"
    "BLAKE3 digest. Exit status: 0 all verified, 1 failure, 2 usage, 3 the\n"
    "archive needs a newer ixo-extract.";

const std::string VERSION_BLOCK =
    "ixo-extract 0.9.1\n"
    "reads ixo format v1 to v7\n"
    "known v7 features: 0 entry metadata, 1 snapshot edits, 2 chained indexes\n";

// What a row expects: help, the version block, a usage error with its message, or a parse that hands over to
// the run (the archive names below do not exist, so the run ends with an "error: " line).
enum class Expect { Help, Version, Usage, Parsed };

struct Row {
  std::vector<std::string> args;
  Expect expect;
  std::string message = {};
};

Row help(std::vector<std::string> a) { return {std::move(a), Expect::Help}; }
Row version(std::vector<std::string> a) { return {std::move(a), Expect::Version}; }
Row usage(std::vector<std::string> a, std::string m) { return {std::move(a), Expect::Usage, std::move(m)}; }
Row parsed(std::vector<std::string> a) { return {std::move(a), Expect::Parsed}; }

const std::vector<Row> ROWS = {
    // Help and version: the first of them decides, and nothing after it is looked at.
    help({"-h"}),
    help({"--help"}),
    version({"-V"}),
    version({"--version"}),
    help({"a.ixo", "-h"}),
    help({"a.ixo", "b", "c", "-h"}),
    help({"-h", "--version"}),
    version({"--version", "-h"}),
    version({"-V", "--bogus"}),
    version({"-V", "-s"}),
    help({"--file", "-V", "-h"}),
    help({"-h", "-s", "x"}),
    usage({"--bogus", "-V"}, "unknown option: --bogus"),
    usage({"-s", "x", "-h"}, "bad snapshot number: x"),
    usage({"-s", "-V"}, "bad snapshot number: -V"),
    usage({"--file", "-V"}, "expected an archive path"),

    // Positional counts.
    usage({}, "expected an archive path"),
    parsed({"a.ixo"}),
    parsed({"a.ixo", "out"}),
    usage({"a.ixo", "out", "more"}, "expected an archive path"),
    usage({"-t"}, "expected an archive path"),
    parsed({"-t", "a.ixo"}),
    usage({"-t", "a.ixo", "out"}, "expected an archive path"),
    parsed({"-l", "a.ixo"}),
    usage({"-l", "a.ixo", "out"}, "expected an archive path"),
    parsed({"--info", "a.ixo"}),
    usage({"--info", "a.ixo", "out"}, "expected an archive path"),
    parsed({"--test", "a.ixo"}),
    parsed({"--list", "a.ixo"}),
    parsed({"a.ixo", "-l"}),
    usage({"-l", "-t", "a.ixo", "out"}, "expected an archive path"),
    parsed({"-t", "a.ixo", "--info", "-l", "-t"}),
    parsed({"-t", "-", }),
    parsed({"-t", ""}),
    parsed({"-", ""}),

    // Unknown options: whole-argument, case-sensitive comparison.
    usage({"--", "a.ixo"}, "unknown option: --"),
    usage({"-tl", "a.ixo"}, "unknown option: -tl"),
    usage({"-v"}, "unknown option: -v"),
    usage({"-H"}, "unknown option: -H"),
    usage({"-i", "a.ixo"}, "unknown option: -i"),
    usage({"--file=x", "a.ixo"}, "unknown option: --file=x"),
    usage({"-s3", "a.ixo"}, "unknown option: -s3"),
    usage({"--HELP"}, "unknown option: --HELP"),
    usage({"--info=1", "a.ixo"}, "unknown option: --info=1"),
    usage({"a.ixo", "-x", "--bogus"}, "unknown option: -x"),
    usage({"a.ixo", "b", "c", "-x"}, "unknown option: -x"),

    // Values: the next argument, whatever it is.
    usage({"a.ixo", "-s"}, "-s needs a snapshot number"),
    usage({"a.ixo", "--snapshot"}, "-s needs a snapshot number"),
    usage({"a.ixo", "-j"}, "-j needs a number"),
    usage({"a.ixo", "--threads"}, "-j needs a number"),
    usage({"a.ixo", "--file"}, "--file needs an archive path"),
    usage({"-s", "-t", "a.ixo"}, "bad snapshot number: -t"),
    parsed({"--file", "--bogus", "a.ixo"}),
    parsed({"--file", "-h", "a.ixo"}),
    parsed({"--file", "x", "--file", "x", "a.ixo"}),
    parsed({"-j", "4", "-j", "0", "a.ixo"}),

    // Numbers.
    parsed({"-s", "+3", "a.ixo"}),
    parsed({"-s", "007", "a.ixo"}),
    parsed({"-s", "0", "a.ixo"}),
    parsed({"--snapshot", "18446744073709551615", "a.ixo"}),
    usage({"-s", "18446744073709551616", "a.ixo"}, "bad snapshot number: 18446744073709551616"),
    usage({"-s", "99999999999999999999999", "a.ixo"}, "bad snapshot number: 99999999999999999999999"),
    usage({"-s", "-1", "a.ixo"}, "bad snapshot number: -1"),
    usage({"-s", "+", "a.ixo"}, "bad snapshot number: +"),
    usage({"-s", "++3", "a.ixo"}, "bad snapshot number: ++3"),
    usage({"-s", "3x", "a.ixo"}, "bad snapshot number: 3x"),
    usage({"-s", "", "a.ixo"}, "bad snapshot number: "),
    usage({"-s", " 3", "a.ixo"}, "bad snapshot number:  3"),
    usage({"-s", "0x10", "a.ixo"}, "bad snapshot number: 0x10"),
    usage({"-s", "\xd9\xa3", "a.ixo"}, "bad snapshot number: \xd9\xa3"),  // a non-ASCII digit
    parsed({"-j", "0", "a.ixo"}),
    parsed({"--threads", "+16", "a.ixo"}),
    parsed({"-j", "18446744073709551615", "a.ixo"}),
    usage({"-j", "x", "a.ixo"}, "bad thread count: x"),
    usage({"--threads", "-1", "a.ixo"}, "bad thread count: -1"),
    usage({"-j", "18446744073709551616", "a.ixo"}, "bad thread count: 18446744073709551616"),
    usage({"-j", "", "a.ixo"}, "bad thread count: "),
    usage({"-j", "4.0", "a.ixo"}, "bad thread count: 4.0"),
};

std::string show_args(const std::vector<std::string>& args) {
  std::string s = "args:";
  for (const auto& a : args) s += " [" + a + "]";
  return s;
}

class CommandLine : public ::testing::Test {
 protected:
  // An empty working folder, so that no argument names anything that exists.
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("ixo-cli-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  test::RunResult run(const std::vector<std::string>& args) {
    test::RunOptions options;
    options.cwd = dir_;
    return test::run_program(args, options);
  }

  std::filesystem::path dir_;
};

TEST_F(CommandLine, EveryRowOfTheTable) {
  for (const Row& row : ROWS) {
    SCOPED_TRACE(show_args(row.args));
    const test::RunResult r = run(row.args);
    switch (row.expect) {
      case Expect::Help:
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, USAGE + "\n");
        EXPECT_EQ(r.err, "");
        break;
      case Expect::Version:
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, VERSION_BLOCK);
        EXPECT_EQ(r.err, "");
        break;
      case Expect::Usage:
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, row.message + "\n\n" + USAGE + "\n");
        break;
      case Expect::Parsed:
        // Handed to the run, which cannot open the archive: one failure, neither usage nor help.
        EXPECT_EQ(r.status, 1) << test::show(r);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find("usage:"), std::string::npos) << r.err;
        break;
    }
  }
  // Nothing was created for any row.
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST(UsageText, LayoutOfTheNineteenLines) {
  const std::string text = usage_text();
  EXPECT_EQ(text, USAGE);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 19u);
  EXPECT_NE(text.back(), '\n');
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE("line " + std::to_string(i + 1));
    EXPECT_TRUE(lines[i].empty() || lines[i].back() != ' ');
    EXPECT_EQ(lines[i].find('\t'), std::string::npos);
  }
  // Descriptions start in column 36 (lines 7 to 10) and in column 16 (lines 13 to 15).
  auto description_column = [&](size_t line) {
    const std::string& l = lines[line - 1];
    const size_t gap = l.find("  ", 2);
    return gap == std::string::npos ? 0 : l.find_first_not_of(' ', gap) + 1;
  };
  for (size_t line : {7, 8, 10}) EXPECT_EQ(description_column(line), 36u) << "line " << line;
  EXPECT_EQ(lines[8].find("format version"), 35u);  // line 9 has a single blank before it
  for (size_t line : {13, 14, 15}) EXPECT_EQ(description_column(line), 16u) << "line " << line;
  EXPECT_EQ(lines[4].find_first_not_of(' '), 18u);
  EXPECT_EQ(lines[5].find_first_not_of(' '), 18u);
  for (const char* absent : {"-h", "--help", "-V", "--test", "--list", "--snapshot", "--threads"}) {
    for (const std::string& l : lines) {
      std::istringstream words(l);
      for (std::string w; words >> w;) EXPECT_NE(w, absent) << l;
    }
  }
}

// The parsed values are not visible from outside until the run uses them: read them here.
TEST(ParseArgs, ValuesAsTyped) {
  auto cli_of = [](std::vector<std::string> args) -> Cli {
    auto outcome = parse_args(args);
    EXPECT_TRUE(std::holds_alternative<cli::Run>(outcome)) << show_args(args);
    return std::holds_alternative<cli::Run>(outcome) ? std::get<cli::Run>(outcome).cli : Cli{};
  };

  const Cli plain = cli_of({"a.ixo"});
  EXPECT_EQ(plain.mode, Mode::Extract);
  EXPECT_FALSE(plain.snapshot.has_value());
  EXPECT_EQ(plain.threads, 0u);
  EXPECT_TRUE(plain.files.empty());
  EXPECT_EQ(plain.paths, (std::vector<std::filesystem::path>{"a.ixo"}));

  EXPECT_EQ(cli_of({"-s", "+3", "a.ixo"}).snapshot, 3u);
  EXPECT_EQ(cli_of({"-s", "007", "a.ixo"}).snapshot, 7u);
  EXPECT_EQ(cli_of({"-s", "0", "a.ixo"}).snapshot, 0u);
  EXPECT_EQ(cli_of({"-s", "18446744073709551615", "a.ixo"}).snapshot, UINT64_MAX);
  EXPECT_EQ(cli_of({"-s", "5", "--snapshot", "2", "a.ixo"}).snapshot, 2u);
  EXPECT_EQ(cli_of({"-j", "4", "--threads", "0", "a.ixo"}).threads, 0u);
  EXPECT_EQ(cli_of({"-j", "+12", "a.ixo"}).threads, 12u);

  EXPECT_EQ(cli_of({"-l", "-t", "a.ixo"}).mode, Mode::Test);
  EXPECT_EQ(cli_of({"-t", "--list", "a.ixo"}).mode, Mode::List);
  EXPECT_EQ(cli_of({"a.ixo", "--info"}).mode, Mode::Info);

  const Cli files = cli_of({"--file", "x/y", "a.ixo", "--file", "-h", "--file", "x/y", "out"});
  EXPECT_EQ(files.files, (std::vector<std::string>{"x/y", "-h", "x/y"}));
  EXPECT_EQ(files.paths, (std::vector<std::filesystem::path>{"a.ixo", "out"}));

  EXPECT_EQ(cli_of({"-", ""}).paths, (std::vector<std::filesystem::path>{"-", ""}));
}

TEST(ParseArgs, HelpIsDoneWithoutPrinting) {
  auto outcome = parse_args({"a.ixo", "-h", "-V"});
  ASSERT_TRUE(std::holds_alternative<cli::Done>(outcome));
  EXPECT_TRUE(std::get<cli::Done>(outcome).help);
}

}  // namespace
}  // namespace ixo::cli
