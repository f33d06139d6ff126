// Allocation failures and unexpected exceptions inside the integrity check and
// the plan reader. This program replaces the global allocation functions so
// that a test can make every allocation of one size fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "plan/load_plan.h"
#include "plan_fixture.h"
#include "platform/message_box.h"

namespace {

std::size_t g_failingSize = 0;  // 0: every allocation succeeds

void* allocate(std::size_t size) {
    if (size == g_failingSize) throw std::bad_alloc();
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

void* allocateOrNull(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}

// Makes the allocations of `size` bytes fail while it lives.
class FailingAllocations {
  public:
    explicit FailingAllocations(std::size_t size) { g_failingSize = size; }
    ~FailingAllocations() { g_failingSize = 0; }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocateOrNull(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

namespace {

const std::string kEnd = "\nL'application va se terminer.";

// A plan that reads without error when fw.bin exists.
const std::string kPlan =
    "[PRODUCT_TYPE]\r\nCommercialName=KV-30\r\n"
    "[LOAD_PARAM]\r\nTitre=t\r\n"
    "[LOAD1]\r\nLibelle=l\r\nDescriptionDetaillee=d\r\nEraseDF=0\r\nMsgErrVersion=m\r\n"
    "PackMaxNumber=1\r\nPack1=fw.bin\r\nPackAttribut1=0\r\nDelay1=10\r\n"
    "[HALVOR_OPTIONS]\r\nCheckValue=KWOLPEBU\r\n";

TEST(AllocationFailure, IntegrityCheck) {
    TempWorkDir dir;
    const std::string plan = Signed(kPlan);
    const std::string path = dir.write("Vorlane.ini", plan);
    ASSERT_EQ(CVorlanePlan::isIniFileCorrect(path), "");

    platform::MessageBoxRecorder boxes;
    {  // the file's buffer, 50 bytes longer than the file
        FailingAllocations failing(plan.size() + 50);
        EXPECT_EQ(CVorlanePlan::isIniFileCorrect(path), "Erreur d'allocation mémoire\n");
    }
    EXPECT_TRUE(boxes.shown().empty());

    // An exception inside the check (here while it builds the message of a
    // missing file, its length and terminating zero) is shown at once, and
    // the plan is refused.
    const std::string notOpened = "Erreur lecture du répertoire courant\n";
    {
        FailingAllocations failing(notOpened.size() + 1);
        EXPECT_EQ(CVorlanePlan::isIniFileCorrect(dir.path() + "/Absent.ini"),
                  "Erreur lors de la lecture du fichier .ini\n");
    }
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text, "Unknown Error in isIniFileCorrect");
    EXPECT_EQ(boxes.shown()[0].caption, "Vorlane");
    EXPECT_EQ(boxes.shown()[0].type, platform::MB_OK | platform::MB_ICONWARNING);
    EXPECT_EQ(CVorlanePlan::isIniFileCorrect(dir.path() + "/Absent.ini"), notOpened);
}

TEST(AllocationFailure, PlanReader) {
    TempWorkDir dir;
    dir.write("fw.bin", std::string(600, 'f'));
    const std::string copyright(300, 'C');
    const std::string path =
        dir.write("Vorlane.ini", kPlan + "[LOAD_PARAM]\r\nCopyright=" + copyright + "\r\n");
    platform::MessageBoxRecorder boxes;

    struct Case {
        const char* name;
        std::size_t failingSize;
        std::string message;
    };
    for (const Case& c : {
             Case{"load record", sizeof(LoadRecord), "Problèmes d'allocation mémoire." + kEnd},
             // a value of the plan, while it is read
             Case{"exception", copyright.size() + 1, "Unknown error in ReadIniFile"},
         }) {
        SCOPED_TRACE(c.name);
        CVorlanePlan plan;
        plan.SetIniPath(path);
        std::string message;
        {
            FailingAllocations failing(c.failingSize);
            message = plan.ReadIniFile();
        }
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(plan.CurrentLoad(), nullptr);
    }
    EXPECT_TRUE(boxes.shown().empty());

    CVorlanePlan plan;
    plan.SetIniPath(path);
    EXPECT_EQ(plan.ReadIniFile(), "");
    EXPECT_NE(plan.CurrentLoad(), nullptr);
}

}  // namespace
