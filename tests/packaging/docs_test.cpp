// The man pages against the programs' own --help, both ways, and the bash
// completion driven through bash's completion functions, as readline would.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/packaging/command.h"
#include "tests/support/core_fixture.h"

namespace {
using Names = std::set<std::string>;

// The options of a help text: its option lines start two blanks in
// ("  --port NAME ...", "  -h,--help ..."); descriptions run on further in.
Names HelpOptions(const std::string& help) {
  static const std::regex option(R"(^  (-[A-Za-z0-9],)?(--?[A-Za-z0-9][A-Za-z0-9-]*))");
  Names names;
  for (const std::string& line : SplitLines(help)) {
    std::smatch match;
    if (!std::regex_search(line, match, option)) continue;
    if (match[1].matched) names.insert(match[1].str().substr(0, 2));
    names.insert(match[2].str());
  }
  return names;
}

// The commands under "Commands:", by their whole name ("log show").
std::vector<std::string> HelpCommands(const std::string& help) {
  std::vector<std::string> commands;
  bool listing = false;
  for (const std::string& line : SplitLines(help)) {
    if (line == "Commands:") listing = true;
    else if (line.empty()) listing = false;
    else if (listing && line.size() > 2 && line.rfind("  ", 0) == 0 && line[2] != ' ')
      commands.push_back(line.substr(2, line.find("  ", 2) - 2));
  }
  return commands;
}

// A roff line as text: "\-" a hyphen, font changes dropped.
std::string PlainRoff(std::string line) {
  line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
  return std::regex_replace(line, std::regex(R"(\\-)"), "-");
}

// A man page's options by section: those in the tag line of each .TP, keyed
// by the heading above it (.SH "OPTIONS", .SS "log show"); and the .SS
// headings under COMMANDS.
struct Page {
  std::map<std::string, Names> options;
  std::set<std::string> commands;
};

Page ReadPage(const std::string& text) {
  static const std::regex option(R"((?:^|[\s,\[|])(--?[A-Za-z0-9][A-Za-z0-9-]*))");
  Page page;
  std::string chapter, heading;
  bool tagFollows = false;
  for (const std::string& line : SplitLines(text)) {
    if (line.rfind(".SH ", 0) == 0 || line.rfind(".SS ", 0) == 0) {
      heading = line.substr(4);
      heading.erase(std::remove(heading.begin(), heading.end(), '"'), heading.end());
      page.options[heading];
      if (line[2] == 'H') chapter = heading;
      else if (chapter == "COMMANDS") page.commands.insert(heading);
    } else if (tagFollows) {
      const std::string tag = PlainRoff(line);
      for (std::sregex_iterator it(tag.begin(), tag.end(), option), end; it != end; ++it)
        page.options[heading].insert((*it)[1].str());
    }
    tagFollows = line == ".TP";
  }
  return page;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Every difference between an options listing of --help and one section of
// the page, said so that whoever adds an option knows where it is missing.
void ExpectSameOptions(const std::string& page, const std::string& section, const std::string& call,
                       const Names& help, const Names& man) {
  for (const std::string& name : help)
    EXPECT_TRUE(man.count(name)) << page << " lacks " << name << " under \"" << section << "\", which `" << call
                                 << "` lists: add a .TP entry for it there";
  for (const std::string& name : man)
    EXPECT_TRUE(help.count(name)) << page << " has " << name << " under \"" << section << "\", which `" << call
                                  << "` does not list";
}

TEST(ManPage, EveryOptionOfEachHelpIsOnThePageAndNoOther) {
  const struct {
    std::string program;
    std::string page;
    std::vector<std::pair<std::string, std::string>> anchors;  // section, an option it must have
  } cases[] = {
      {PYLAXCTL_PATH, "pylaxctl.1",
       {{"OPTIONS", "--port"}, {"OPTIONS", "-h"}, {"monitor", "--mqtt"}, {"log start", "--slots"}, {"scan", "--end"}}},
      {QM4SIM_PATH, "qm4sim.1", {{"OPTIONS", "--link"}, {"OPTIONS", "--version"}, {"OPTIONS", "--random-faults"}}},
      {PYLAX_PATH, "pylax.1", {{"OPTIONS", "--plot"}, {"OPTIONS", "--help"}}},
  };
  for (const auto& c : cases) {
    if (c.program.empty()) continue;  // pylax, in a build without the windows
    SCOPED_TRACE(c.page);
    const std::string name = c.page.substr(0, c.page.find('.'));
    Page page = ReadPage(ReadWholeFile(std::string(MAN_DIR) + "/" + c.page));
    std::map<std::string, Names>& sections = page.options;
    const CommandResult help = RunCommand({c.program, "--help"});
    ASSERT_EQ(help.status, 0) << help.output;
    ExpectSameOptions(c.page, "OPTIONS", name + " --help", HelpOptions(help.output), sections["OPTIONS"]);
    // Each command's own options under its .SS, --help aside: every command
    // takes it, and OPTIONS says so once.
    std::set<std::string> commandSections;
    for (const std::string& command : HelpCommands(help.output)) {
      std::vector<std::string> call = Words(command);
      call.insert(call.begin(), c.program);
      call.push_back("--help");
      const CommandResult commandHelp = RunCommand(call);
      ASSERT_EQ(commandHelp.status, 0) << commandHelp.output;
      Names options = HelpOptions(commandHelp.output);
      options.erase("-h");
      options.erase("--help");
      EXPECT_TRUE(sections.count(command)) << c.page << " has no .SS \"" << command << "\" for the command `" << name
                                           << " --help` lists";
      ExpectSameOptions(c.page, command, name + " " + command + " --help", options, sections[command]);
      commandSections.insert(command);
    }
    for (const std::string& section : page.commands)
      EXPECT_TRUE(commandSections.count(section))
          << c.page << " has .SS \"" << section << "\" under COMMANDS, a command `" << name << " --help` does not list";
    for (const auto& [section, option] : c.anchors)
      EXPECT_TRUE(sections[section].count(option)) << section << " " << option;
  }
}

// bash --norc with bash-completion's functions and our completion loaded,
// COMP_WORDS split as readline splits them (at ":" and "=", a run of them a
// word of its own), and the function `complete -p pylaxctl` names called
// as readline calls it. compopt works only inside readline's completion, so
// it is recorded instead.
const char kDriver[] = R"(
source /usr/share/bash-completion/bash_completion || exit 3
source "$COMPLETION" || exit 3
compopt() { local IFS=" "; echo "compopt $*"; }
COMP_LINE=$1 COMP_POINT=${#1}
shift
COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
registered=$(complete -p pylaxctl) || exit 4
function=${registered#*-F }
function=${function%% *}
"$function" pylaxctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
printf '%s\n' "${COMPREPLY[@]}"
)";

TEST(Completion, OffersTheWordsThatFitWhereTheCursorIs) {
  const std::string cli = std::string(PYLAXCTL_PATH).substr(0, std::string(PYLAXCTL_PATH).rfind('/'));
  const struct {
    std::string line;
    std::vector<std::string> words;
    std::vector<std::string> offered;
  } cases[] = {
      {"pylaxctl ", {"pylaxctl", ""}, {"archive", "log", "monitor", "read", "reset-energy", "scan", "set-clock"}},
      {"pylaxctl log ", {"pylaxctl", "log", ""}, {"download", "show", "start", "sync"}},
      {"pylaxctl --slave 3 re", {"pylaxctl", "--slave", "3", "re"}, {"read", "reset-energy"}},
      // "log" is the port's value here, not the command.
      {"pylaxctl --port log ", {"pylaxctl", "--port", "log", ""},
       {"archive", "log", "monitor", "read", "reset-energy", "scan", "set-clock"}},
      {"pylaxctl --fr", {"pylaxctl", "--fr"}, {"--framing"}},
      {"pylaxctl --framing ", {"pylaxctl", "--framing", ""}, {"length", "silence"}},
      {"pylaxctl --baud 9", {"pylaxctl", "--baud", "9"}, {"9600"}},
      {"pylaxctl --port C", {"pylaxctl", "--port", "C"},
       {"COM1:", "COM2:", "COM3:", "COM4:", "COM5:", "COM6:", "COM7:", "COM8:", "COM9:"}},
      {"pylaxctl --port=mb", {"pylaxctl", "--port", "=", "mb"}, {"compopt -o nospace", "mbtcp://"}},
      // Readline's word starts after the colon: the rest of the scheme.
      {"pylaxctl --port tcp:", {"pylaxctl", "--port", "tcp", ":"}, {"//", "compopt -o nospace"}},
      {"pylaxctl --port /dev/ptm", {"pylaxctl", "--port", "/dev/ptm"}, {"/dev/ptmx", "compopt -o filenames"}},
      {"pylaxctl --config /dev/ptm", {"pylaxctl", "--config", "/dev/ptm"}, {"/dev/ptmx", "compopt -o filenames"}},
      {"pylaxctl --slave ", {"pylaxctl", "--slave", ""}, {}},
      {"pylaxctl read --", {"pylaxctl", "read", "--"}, {"--count", "--help", "--json", "--watch"}},
      {"pylaxctl log start --slots 1,2 --o", {"pylaxctl", "log", "start", "--slots", "1,2", "--o"}, {"--one-shot"}},
      {"pylaxctl monitor --mqtt-c", {"pylaxctl", "monitor", "--mqtt-c"}, {"--mqtt-ca-file", "--mqtt-client-id", "--mqtt-commands"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{"bash", "--norc", "-c", kDriver, "driver", c.line};
    argv.insert(argv.end(), c.words.begin(), c.words.end());
    const CommandResult run =
        RunCommand(argv, {"COMPLETION=" + std::string(COMPLETION_PATH), "PATH=" + cli + ":" + std::getenv("PATH")});
    std::vector<std::string> offered = SplitLines(run.output);
    offered.erase(std::remove(offered.begin(), offered.end(), ""), offered.end());
    std::sort(offered.begin(), offered.end());
    EXPECT_EQ(run.status, 0) << c.line << "\n" << run.output;
    EXPECT_EQ(offered, c.offered) << "\"" << c.line << "\"";
  }
}
}  // namespace
