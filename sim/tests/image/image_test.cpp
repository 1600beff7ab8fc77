// The loader of the real image, on the kvrminiport.sys the windows-x64 preset
// built (skipped, saying so, when there is none): what it refuses, a fresh
// copy for every kernel, the discarded start-up section, the pageable
// section at DISPATCH_LEVEL, and CR8 read as the calling context's IRQL.

#include "record.h"

#include <gtest/gtest.h>

#include "image_files.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// kvr_image_test_privileged(out): Microsoft convention; stores CR8 (the IRQL)
// at out, then runs cli, which only the processor's kernel mode may.
extern "C" void kvr_image_test_begin();
extern "C" void kvr_image_test_privileged(PVOID out);
extern "C" void kvr_image_test_end();
asm(R"(
    .text
    .globl kvr_image_test_begin
kvr_image_test_begin:
    .globl kvr_image_test_privileged
kvr_image_test_privileged:
    movq %cr8, %rax
    movq %rax, (%rcx)
    cli
    xorl %eax, %eax
    ret
    .globl kvr_image_test_end
kvr_image_test_end:
    ret
)");

namespace
{

namespace fs = std::filesystem;

const char *const ImagePath = KVR_TEST_IMAGE;
constexpr ULONG StartExternalSession = 0x234000;
constexpr ULONG QueryWideModel = 0x234034;

using image_files::Read;
using image_files::SymbolsOf;
using image_files::Write;

class Image : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!fs::exists(ImagePath))
            GTEST_SKIP() << "no image at " << ImagePath << ": build the windows-x64 preset first";
        ASSERT_EQ(sim::UseImage(ImagePath), "");
        Boot();
    }
    void TearDown() override
    {
        sim::Shutdown();
        sim::StopUsingImage();
    }
    void Boot()
    {
        sim::Options options;
        options.Keys = {"\\Registry\\Machine\\Software\\Korvane\\Brindlecourt"};
        sim::Reset(options);
        sim::ExpectSurvivingPool(sim::Tag("ffub"));
        ASSERT_EQ(sim::LoadDriver(sim::ImageEntry()), STATUS_SUCCESS);
        ASSERT_EQ(sim::StartAdapter().FindStatus, (VP_STATUS)NO_ERROR);
    }
    std::string Findings()
    {
        std::string all;
        for (const sim::Violation &violation : sim::Violations())
            all += violation.Text + "\n";
        return all;
    }
};

TEST(ImageLoader, RefusesWhatItCannotRunSayingWhy)
{
    if (!fs::exists(ImagePath))
        GTEST_SKIP() << "no image at " << ImagePath << ": build the windows-x64 preset first";
    fs::path dir = fs::temp_directory_path() / ("kvr-image-test-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string image = Read(ImagePath), symbols = Read(SymbolsOf(ImagePath));
    std::string renamed = image, otherBuild = symbols;
    size_t at = renamed.find(std::string("strncpy\0", 8));
    ASSERT_NE(at, std::string::npos);
    renamed[at + 6] = 'x';
    size_t guid = otherBuild.find(' ') + 1;
    otherBuild[guid] = otherBuild[guid] == '0' ? '1' : '0';
    const struct {
        const char *Name;
        std::string Image;   // empty: no file
        std::string Symbols; // empty: no file
        const char *Error;
    } cases[] = {
        {"missing", "", "", "cannot open"},
        {"text", "DriverEntry", symbols, "not a PE image"},
        {"no-symbols", image, "", "no symbol file"},
        {"other-build", image, otherBuild, "is of another build than the image"},
        {"unknown-import", renamed, symbols,
         "imports ntoskrnl.exe!strncpx, which the simulated kernel does not provide"},
        {"good", image, symbols, nullptr},
    };
    for (const auto &c : cases) {
        fs::path path = dir / (std::string(c.Name) + ".sys");
        if (!c.Image.empty())
            Write(path, c.Image);
        if (!c.Symbols.empty())
            Write(SymbolsOf(path), c.Symbols);
        std::string error = sim::UseImage(path.string());
        if (!c.Error)
            EXPECT_EQ(error, "") << c.Name;
        else
            EXPECT_NE(error.find(c.Error), std::string::npos) << c.Name << ": " << error;
        EXPECT_EQ(sim::ImageInUse(), c.Error == nullptr) << c.Name;
        sim::StopUsingImage();
    }
    fs::remove_all(dir);
}

TEST_F(Image, EveryKernelGetsAFreshCopy)
{
    auto *state = (const uint8_t *)sim::ImageData("DriverState");
    ASSERT_NE(state, nullptr);
    void *driver = nullptr;
    memcpy(&driver, state, sizeof driver); // DriverObject, the record's first member
    EXPECT_EQ(driver, sim::DriverObject());
    sim::Shutdown();
    sim::Reset();
    state = (const uint8_t *)sim::ImageData("DriverState");
    memcpy(&driver, state, sizeof driver);
    EXPECT_EQ(driver, nullptr);
    EXPECT_NE(sim::ImageEntry(), nullptr);
}

// A routine the symbol file names is found in the mapped copy, and is the
// one the image itself hands the kernel.
TEST_F(Image, RoutinesAreFoundByTheirNames)
{
    EXPECT_EQ(sim::ImageRoutine("DriverEntry"), (const void *)sim::ImageEntry());
    const void *startIo = sim::ImageRoutine("HwStartIO");
    ASSERT_NE(startIo, nullptr);
    ASSERT_EQ(sim::VideoPortInitializeCalls().size(), 1u);
    EXPECT_EQ((const void *)sim::VideoPortInitializeCalls()[0].Table.HwStartIO, startIo);
    EXPECT_EQ(sim::ImageRoutine("NoSuchRoutine"), nullptr);
    EXPECT_EQ(sim::ImageRoutine("DriverState"), nullptr) << "a global is no routine";
}

TEST_F(Image, StartUpCodeAfterDriverEntryIsAFindingNamingTheRoutine)
{
    EXPECT_EQ(Findings(), "");
    UNICODE_STRING path{};
    sim::detail::CallDriver(sim::ImageEntry(), sim::DriverObject(), &path);
    EXPECT_NE(Findings().find("start-up code running after DriverEntry returned: DriverEntry "
                              "lies in INIT"),
              std::string::npos)
        << Findings();
}

TEST_F(Image, PageableCodeAtDispatchLevelIsAFindingNamingTheRoutine)
{
    static const uint8_t none = 0;
    sim::Ioctl(QueryWideModel, std::span<const uint8_t>(&none, 0), 1);
    EXPECT_EQ(Findings(), "");
    sim::SetIrql(DISPATCH_LEVEL);
    sim::Ioctl(QueryWideModel, std::span<const uint8_t>(&none, 0), 1);
    sim::SetIrql(PASSIVE_LEVEL);
    EXPECT_NE(Findings().find("pageable code running at IRQL 2: HwStartIO lies in PAGE"),
              std::string::npos)
        << Findings();
}

TEST_F(Image, ControlRegisterEightReadsTheContextsIrql)
{
    // The driver reads the IRQL (CR8) before every registry call and makes
    // none above PASSIVE_LEVEL: at APC_LEVEL the session's status is not
    // written.
    const uint8_t session[] = {1, 0, 0, 0, 2, 0, 0, 0};
    for (KIRQL irql : {APC_LEVEL, PASSIVE_LEVEL}) {
        Boot();
        uint64_t before = sim::RegistryWriteCount();
        sim::SetIrql(irql);
        sim::Ioctl(StartExternalSession, session, 0);
        sim::SetIrql(PASSIVE_LEVEL);
        EXPECT_EQ(sim::RegistryWriteCount() > before, irql == PASSIVE_LEVEL) << int(irql);
        EXPECT_EQ(Findings(), "") << int(irql);
        sim::Shutdown();
    }
}

// The handler serves any Microsoft-convention code the kernel calls: CR8
// read as the context's IRQL, any other privileged instruction a finding,
// stepped over.
TEST_F(Image, OtherPrivilegedInstructionsAreFindings)
{
    sim::SetForeignCode((const void *)&kvr_image_test_begin, (const void *)&kvr_image_test_end);
    uint64_t irql = 0xFF;
    sim::SetIrql(APC_LEVEL);
    sim::detail::CallDriver(&kvr_image_test_privileged, (PVOID)&irql);
    sim::SetIrql(PASSIVE_LEVEL);
    sim::SetForeignCode(nullptr, nullptr);
    EXPECT_EQ(irql, (uint64_t)APC_LEVEL);
    EXPECT_NE(Findings().find("privileged instruction fa31c0c3 in the routine at "),
              std::string::npos)
        << Findings();
    EXPECT_NE(Findings().find(": only CR8 (the IRQL) is emulated"), std::string::npos);
}

} // namespace
