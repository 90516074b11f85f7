// The Debian packages as scripts/package.sh builds them (the ctest fixture
// Package.build runs it first): unpacked with dpkg-deb into a temporary root,
// their files, their programs run from there, their Depends against what the
// programs link, the unit under systemd-analyze, and lintian.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "tests/packaging/command.h"
#include "tests/support/core_fixture.h"

namespace {
namespace fs = std::filesystem;

const std::string kTools = "pylax-tools";
const std::string kWindows = "pylax";

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \n");
  return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \n") - first + 1);
}

std::string DebOf(const std::string& package) {
  static const std::string arch = Trimmed(RunCommand({"dpkg", "--print-architecture"}).output);
  return std::string(PACKAGE_DIR) + "/" + package + "_" + PROJECT_VERSION + "_" + arch + ".deb";
}

std::string Field(const std::string& package, const std::string& field) {
  return Trimmed(RunCommand({"dpkg-deb", "-f", DebOf(package), field}).output);
}

// The package names a Depends field names, alternatives included.
std::set<std::string> DependsNames(const std::string& depends) {
  std::set<std::string> names;
  static const std::regex name(R"((?:^|[,|])\s*([a-z0-9][a-z0-9+.-]*))");
  for (std::sregex_iterator it(depends.begin(), depends.end(), name), end; it != end; ++it) names.insert((*it)[1]);
  return names;
}

// Each test unpacks what it looks at into a root of its own.
class Package : public ::testing::Test {
 protected:
  void Unpack(const std::string& package) {
    const CommandResult run = RunCommand({"dpkg-deb", "-x", DebOf(package), root_});
    ASSERT_EQ(run.status, 0) << run.output;
  }
  // Regular files and links, relative to the root, in order.
  std::vector<std::string> Files() const {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root_))
      if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), root_).string());
    std::sort(files.begin(), files.end());
    return files;
  }

  TempCurrentDirectory cwd_;
  const std::string root_ = cwd_.Path().string() + "/root";
};

TEST_F(Package, EachHoldsItsFilesAndNoOther) {
  const struct {
    std::string package;
    std::vector<std::string> files;
  } cases[] = {
      {kTools,
       {"usr/bin/pylaxctl", "usr/bin/qm4sim", "usr/lib/systemd/system/pylax-monitor@.service",
        "usr/share/bash-completion/completions/pylaxctl", "usr/share/doc/pylax-tools/changelog.gz",
        "usr/share/doc/pylax-tools/copyright", "usr/share/man/man1/pylaxctl.1.gz", "usr/share/man/man1/qm4sim.1.gz",
        "usr/share/man/man8/pylax-monitor@.service.8.gz", "usr/share/pylax/monitor.conf.example"}},
      {kWindows,
       {"usr/bin/pylax", "usr/share/applications/pylax.desktop", "usr/share/doc/pylax/changelog.gz",
        "usr/share/doc/pylax/copyright", "usr/share/icons/hicolor/16x16/apps/pylax.png",
        "usr/share/icons/hicolor/256x256/apps/pylax.png", "usr/share/icons/hicolor/32x32/apps/pylax.png",
        "usr/share/icons/hicolor/48x48/apps/pylax.png", "usr/share/icons/hicolor/scalable/apps/pylax.svg",
        "usr/share/man/man1/pylax.1.gz"}},
  };
  for (const auto& c : cases) {
    fs::remove_all(root_);
    Unpack(c.package);
    EXPECT_EQ(Files(), c.files) << c.package;
    EXPECT_EQ(Field(c.package, "Package"), c.package);
    EXPECT_EQ(Field(c.package, "Version"), "2.2.0.0") << c.package;
  }
}

TEST_F(Package, ProgramsRunFromTheUnpackedRoot) {
  const std::string resource =
      " 2.2.0.0\nFileVersion: 2, 2, 0, 0\nProductVersion: 2, 2, 0, 0\nFileDescription: Pylax MFC Application\n"
      "InternalName: Pylax\nOriginalFilename: Pylax.EXE\nProductName: Pylax Application\n"
      "LegalCopyright: Copyright (C) 2026 the Pylax developers. Provided as is, without warranty of any kind.\n";
  // The labels of a QM4C's readings, as `read` prints them, one a line.
  const std::string qm4cLabels =
      "KWH KW KVAR KVA PF VLL VLN AMPS-AVG KW-A KW-B KW-C PF-A PF-B PF-C V-AB V-BC V-AC V-AN V-BN V-CN AMPS-A AMPS-B "
      "AMPS-C SUBINTERVAL CLOCK ROLLOVERS BUFFER DAYS-TO-ROLLOVER LOG-ENTRIES NEWEST-ENTRY";
  const struct {
    std::vector<std::string> args;  // the program first, from the root
    std::string output;             // whole, or for read the first word of each line
  } cases[] = {
      {{"usr/bin/pylax", "--version"}, "pylax" + resource},
      {{"usr/bin/pylaxctl", "--version"}, "pylaxctl" + resource},
      {{"usr/bin/qm4sim", "--version"}, "qm4sim" + resource},
      // --simulate finds the qm4sim beside pylaxctl.
      {{"usr/bin/pylaxctl", "--simulate", "--slave", "3", "read"}, qm4cLabels},
  };
  Unpack(kTools);
  Unpack(kWindows);
  for (const auto& c : cases) {
    std::vector<std::string> argv(c.args);
    argv[0] = root_ + "/" + argv[0];
    // An empty PATH: no installed or built qm4sim can stand in.
    const CommandResult run = RunCommand(argv, {"PATH=", "QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(run.status, 0) << Joined(c.args) << "\n" << run.output;
    std::string output = run.output;
    if (c.args.back() == "read") {
      output.clear();
      for (const std::string& line : SplitLines(run.output)) output += (output.empty() ? "" : " ") + line.substr(0, line.find(' '));
    }
    EXPECT_EQ(output, c.output) << Joined(c.args);
  }
}

// The same file under the other half of Debian 12's merged /usr
// (/lib/x86_64-linux-gnu/libc.so.6, /usr/lib/x86_64-linux-gnu/libc.so.6):
// dpkg knows each library under one of the two.
std::string OtherForm(const std::string& path) { return path.rfind("/usr/", 0) == 0 ? path.substr(4) : "/usr" + path; }

// The package each installed library belongs to, by either form of its
// path; dpkg is asked once (each call takes about half a second).
std::map<std::string, std::string> Owners(const std::set<std::string>& paths) {
  std::vector<std::string> argv{"dpkg", "-S"};
  for (const std::string& path : paths) argv.insert(argv.end(), {path, OtherForm(path)});
  static const std::regex owned(R"(^([^:,\s]+)[^ ]*: (\S+)$)");
  std::map<std::string, std::string> owners;
  for (const std::string& line : SplitLines(RunCommand(argv).output)) {
    std::smatch match;
    if (std::regex_search(line, match, owned)) owners[match[2]] = owners[OtherForm(match[2])] = match[1];
  }
  return owners;
}

TEST_F(Package, DependsCoverEveryLibraryItsProgramsNeed) {
  const struct {
    std::string package;
    std::vector<std::string> programs;
    std::vector<std::string> alsoDepends;  // beyond the libraries
  } cases[] = {
      {kTools, {"usr/bin/pylaxctl", "usr/bin/qm4sim"}, {}},
      {kWindows, {"usr/bin/pylax"}, {kTools}},  // pylax --simulate runs its qm4sim
  };
  static const std::regex needed(R"(NEEDED\s+(\S+))");
  static const std::regex resolved(R"(^\s*(\S+) => (\S+))");
  for (const auto& c : cases) {
    Unpack(c.package);
    const std::set<std::string> depends = DependsNames(Field(c.package, "Depends"));
    for (const std::string& program : c.programs) {
      const std::string path = root_ + "/" + program;
      std::map<std::string, std::string> paths;
      for (const std::string& line : SplitLines(RunCommand({"ldd", path}).output)) {
        std::smatch match;
        if (std::regex_search(line, match, resolved)) paths[match[1]] = match[2];
      }
      std::set<std::string> libraries;
      for (const auto& [library, libraryPath] : paths) libraries.insert(libraryPath);
      std::map<std::string, std::string> owners = Owners(libraries);
      const std::string dump = RunCommand({"objdump", "-p", path}).output;
      int count = 0;
      for (std::sregex_iterator it(dump.begin(), dump.end(), needed), end; it != end; ++it, ++count) {
        const std::string library = (*it)[1];
        const std::string owner = paths.count(library) ? owners[paths[library]] : "(not found by ldd)";
        EXPECT_TRUE(depends.count(owner)) << program << " needs " << library << " of " << owner << ", which the Depends of "
                                          << c.package << " lack: " << Field(c.package, "Depends");
      }
      EXPECT_GE(count, 4) << program;  // libc, libm, libgcc_s, libstdc++ at least
    }
    for (const std::string& package : c.alsoDepends) EXPECT_TRUE(depends.count(package)) << c.package << " " << package;
  }
}

TEST_F(Package, ToolsPullInNoDesktopStack) {
  const struct {
    std::string package;
    std::set<std::string> desktop;  // what of the desktop stack its dependencies reach, among a few
  } cases[] = {
      {kTools, {}},
      {kWindows, {"libqt6gui6", "libqt6widgets6", "libx11-6", "libxcb1"}},
  };
  static const std::regex desktopName(R"(^(libqt6|qt6-|libx11|libxcb|libxext|libgl1|libglx|libegl|libopengl|libgles|libwayland|libxkbcommon))");
  for (const auto& c : cases) {
    std::vector<std::string> argv{"apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests",
                                  "--no-conflicts", "--no-breaks", "--no-replaces", "--no-enhances"};
    for (const std::string& name : DependsNames(Field(c.package, "Depends")))
      if (name != kTools) argv.push_back(name);
    const CommandResult run = RunCommand(argv);
    ASSERT_EQ(run.status, 0) << run.output;
    std::set<std::string> reached;
    for (const std::string& line : SplitLines(run.output))
      if (!line.empty() && line[0] != ' ' && std::regex_search(line, desktopName)) reached.insert(line);
    if (c.desktop.empty()) {
      EXPECT_EQ(reached, c.desktop) << c.package << " pulls in a desktop stack";
      continue;
    }
    for (const std::string& name : c.desktop) EXPECT_TRUE(reached.count(name)) << c.package << " " << name;
  }
}

TEST_F(Package, UnitVerifiesCleanInTheInstalledLayout) {
  Unpack(kTools);
  // The units it is ordered after and wanted by are the system's.
  fs::copy("/usr/lib/systemd/system", root_ + "/usr/lib/systemd/system",
           fs::copy_options::recursive | fs::copy_options::skip_existing | fs::copy_options::copy_symlinks);
  const CommandResult verify =
      RunCommand({"systemd-analyze", "verify", "--root=" + root_, "pylax-monitor@hall-a.service"},
                 {"MANPATH=" + root_ + "/usr/share/man"});  // its Documentation= pages, as installed
  EXPECT_EQ(verify.status, 0);
  EXPECT_EQ(verify.output, "");
  const std::vector<std::string> unit = SplitLines(ReadWholeFile(root_ + "/usr/lib/systemd/system/pylax-monitor@.service"));
  for (const std::string start : {"Type=notify", "WatchdogSec=60", "ExecStart=/usr/bin/pylaxctl monitor --config "})
    EXPECT_TRUE(std::any_of(unit.begin(), unit.end(), [&](const std::string& line) { return line.rfind(start, 0) == 0; }))
        << "no line starts " << start;
}

// The unit's capabilities let the gateway listen at 502 and 1502; without
// them 502 is refused. setpriv, not systemd, gives them to an unprivileged user.
TEST_F(Package, UnitLetsTheGatewayBindPort502AndNothingMore) {
  Unpack(kTools);
  fs::permissions(cwd_.Path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  const std::vector<std::string> unit = SplitLines(ReadWholeFile(root_ + "/usr/lib/systemd/system/pylax-monitor@.service"));
  std::map<std::string, std::string> caps;
  for (const std::string& line : unit)
    for (const std::string key : {"AmbientCapabilities", "CapabilityBoundingSet"})
      if (line.rfind(key + "=", 0) == 0) caps[key] = line.substr(key.size() + 1);
  EXPECT_EQ(caps["AmbientCapabilities"], "CAP_NET_BIND_SERVICE");
  EXPECT_EQ(caps["CapabilityBoundingSet"], "CAP_NET_BIND_SERVICE");
  const std::string granted = "-all,+net_bind_service";  // setpriv's spelling of the unit's capability
  const struct { std::string caps, port; int status; std::string said; } cases[] = {
      {granted, "502", 0, "gateway: the bus is served to other masters at mbtcp://127.0.0.1:502 "},
      {granted, "1502", 0, "gateway: the bus is served to other masters at mbtcp://127.0.0.1:1502 "},
      {"-all", "502", 9, "--gateway: cannot listen at 127.0.0.1:502: Permission denied"},
  };
  for (const auto& c : cases) {
    const CommandResult run = RunCommand(
        {"timeout", "--preserve-status", "2", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
         "--inh-caps=" + c.caps, "--ambient-caps=" + c.caps, "--bounding-set=" + c.caps, root_ + "/usr/bin/pylaxctl",
         "--port", "/dev/pylax-absent", "monitor", "--gateway", c.port});
    EXPECT_EQ(run.status, c.status) << c.caps << " " << c.port << "\n" << run.output;
    EXPECT_NE(run.output.find(c.said), std::string::npos) << c.caps << " " << c.port << "\n" << run.output;
  }
}

TEST_F(Package, LintianFindsNoErrorAndEachWarningIsExplained) {
  const CommandResult lintian = RunCommand({"lintian", "--tag-display-limit", "0", DebOf(kTools), DebOf(kWindows)});
  EXPECT_EQ(lintian.status, 0) << lintian.output;
  const std::string decisions = ReadWholeFile(DECISIONS_PATH);
  static const std::regex finding(R"(^([EW]): (\S+): (\S+))");
  for (const std::string& line : SplitLines(lintian.output)) {
    std::smatch match;
    if (!std::regex_search(line, match, finding)) continue;
    EXPECT_EQ(match[1], "W") << line;
    EXPECT_NE(decisions.find("`" + match[3].str() + "`"), std::string::npos)
        << line << ": docs/decisions.md does not explain the warning " << match[3];
  }
}

TEST_F(Package, BashCompletionFindsTheCompletionWhereItLooks) {
  Unpack(kTools);
  const CommandResult load = RunCommand(
      {"bash", "--norc", "-c",
       "source /usr/share/bash-completion/bash_completion && __load_completion pylaxctl && complete -p pylaxctl"},
      {"XDG_DATA_DIRS=" + root_ + "/usr/share"});
  EXPECT_EQ(load.status, 0) << load.output;
  EXPECT_EQ(load.output, "complete -F _pylaxctl pylaxctl\n");
}
}  // namespace
