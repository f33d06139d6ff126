#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status;
    std::string output;  // standard output and standard error
};

ToolRun runTool(const std::string& arguments) {
    std::string command = std::string("'") + PLAN_TOOL + "' " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
    int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class PlanTool : public testing::Test {
  protected:
    PlanTool() {
        char pattern[] = "/tmp/plan_toolXXXXXX";
        dir_ = ::mkdtemp(pattern);
    }
    ~PlanTool() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }

    std::string dir_;
};

const std::string kPlan =
    "[PRODUCT_TYPE]\r\nCommercialName=Lecteur \xC9t\xE9\r\n"
    "[LOAD_PARAM]\r\nTitre=t\r\n"
    "[LOAD1]\r\nLibelle=l\r\nDescriptionDetaillee=d\r\nEraseDF=0\r\nMsgErrVersion=m\r\n"
    "PackMaxNumber=1\r\nPack1=fw.bin\r\nPackAttribut1=0\r\nDelay1=10\r\n"
    "[HALVOR_OPTIONS]\r\nCheckValue=KWOLPEBU\r\n";

const char* const kBadCrc = "CRC Invalide.\nL'application va se terminer.\n";

TEST_F(PlanTool, SignThenCheckAcceptsAndOneChangedByteIsRefused) {
    write("Vorlane.ini", kPlan);
    write("fw.bin", std::string(600, 'f'));
    EXPECT_EQ(runTool("check " + dir_).output, kBadCrc);  // placeholder left

    ToolRun sign = runTool("sign " + path("Vorlane.ini"));
    ASSERT_EQ(sign.status, 0) << sign.output;
    std::string signedPlan = read("Vorlane.ini");
    ASSERT_EQ(signedPlan.size(), kPlan.size());
    EXPECT_EQ(signedPlan.find("KWOLPEBU"), std::string::npos);

    ToolRun check = runTool("check " + dir_);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_NE(check.output.find("Plan accepted"), std::string::npos);
    EXPECT_NE(check.output.find("Lecteur Été"), std::string::npos);  // shown as UTF-8
    EXPECT_NE(check.output.find("1. fw.bin: attribute 0 (firmware)"), std::string::npos);

    std::string changed = signedPlan;
    changed[changed.find("Titre=t") + 6] = 'u';
    write("Vorlane.ini", changed);
    check = runTool("check " + dir_);
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.output, kBadCrc);
}

TEST_F(PlanTool, CheckPrintsTheLoadersMessage) {
    ToolRun missing = runTool("check " + dir_);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output,
              "Le fichier Vorlane.ini n'a pas été trouvé dans le répertoire courant.\n"
              "L'application va se terminer.\n");

    write("Vorlane.ini", kPlan);
    ASSERT_EQ(runTool("sign " + path("Vorlane.ini")).status, 0);
    ToolRun noPack = runTool("check " + dir_);  // fw.bin is not there
    EXPECT_EQ(noPack.status, 1);
    EXPECT_EQ(noPack.output,
              "Impossible de trouver le fichier fw.bin dans le répertoire courant.\n");

    ::chmod(path("Vorlane.ini").c_str(), 0444);
    ToolRun readOnly = runTool("check " + dir_);
    EXPECT_EQ(readOnly.status, 1);
    EXPECT_EQ(readOnly.output,
              "Erreur lecture du répertoire courant\nL'application va se terminer.\n");
}

TEST_F(PlanTool, SignRefusesWithoutChangingThePlan) {
    struct Case {
        std::string content;
        mode_t mode;
        const char* reason;
    };
    for (const Case& c :
         {Case{"[HALVOR_OPTIONS]\nCheckValue=KWOLPEBU\n", 0640, "no check value marker"},
          Case{"[HALVOR_OPTIONS]\r\nCheckValue=KWOL", 0640, "ends before the 8"},
          Case{kPlan, 0440, "read-only"}}) {
        write("Vorlane.ini", c.content);
        ::chmod(path("Vorlane.ini").c_str(), c.mode);
        ToolRun sign = runTool("sign " + path("Vorlane.ini"));
        EXPECT_EQ(sign.status, 1);
        EXPECT_NE(sign.output.find(c.reason), std::string::npos) << sign.output;
        EXPECT_NE(sign.output.find("not changed"), std::string::npos);
        EXPECT_EQ(read("Vorlane.ini"), c.content);
        EXPECT_EQ(entries(), 1u);  // no temporary file left behind
    }
}

TEST_F(PlanTool, SignKeepsThePermissionsTheOwnerAndALink) {
    write("Vorlane.ini", kPlan);
    ::chmod(path("Vorlane.ini").c_str(), 0640);
    const bool root = ::geteuid() == 0;  // only root may give the plan to another user
    if (root) {
        ASSERT_EQ(::chown(path("Vorlane.ini").c_str(), 1, 2), 0);
    }
    ASSERT_EQ(::symlink("Vorlane.ini", path("link.ini").c_str()), 0);

    ToolRun sign = runTool("sign " + path("link.ini"));
    ASSERT_EQ(sign.status, 0) << sign.output;
    EXPECT_EQ(runTool("check " + dir_).output,
              "Impossible de trouver le fichier fw.bin dans le "
              "répertoire courant.\n");  // past the check value
    struct stat info;
    ASSERT_EQ(::lstat(path("link.ini").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(::stat(path("Vorlane.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    if (root) {
        EXPECT_EQ(info.st_uid, 1u);
        EXPECT_EQ(info.st_gid, 2u);
    }
    EXPECT_EQ(entries(), 2u);  // no temporary file left behind
}

TEST_F(PlanTool, SamplePlanIsAccepted) {
    for (const auto& entry : fs::directory_iterator(SAMPLE_PLAN_DIR)) fs::copy(entry.path(), dir_);
    ToolRun check = runTool("check " + dir_);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_NE(check.output.find("attribute 0 (firmware)"), std::string::npos);
    EXPECT_NE(check.output.find("attribute 1 (application)"), std::string::npos);
}

TEST_F(PlanTool, HelpAndUsage) {
    for (const char* arguments : {"--help", "sign --help", "check --help"}) {
        ToolRun help = runTool(arguments);
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.output.find("Usage:"), std::string::npos);
    }
    EXPECT_EQ(runTool("").status, 2);
    EXPECT_EQ(runTool("frobnicate").status, 2);
    EXPECT_EQ(runTool("sign").status, 2);
}

}  // namespace
