// The loader on the display driver's real DLL, the kvrdisplay.dll the
// windows-x64 preset built beside kvrminiport.sys (skipped, saying so, when
// there is none): what it refuses, and the DLL's code entered through the
// crossing, with the crossing's checks, from a fresh copy in each kernel.

#include "record.h"

#include <gtest/gtest.h>

#include "image_files.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace
{

namespace fs = std::filesystem;

const fs::path MiniportPath = KVR_TEST_IMAGE;
const fs::path DllPath = fs::path(KVR_TEST_IMAGE).replace_filename("kvrdisplay.dll");

using image_files::Read;
using image_files::SymbolsOf;
using image_files::Write;

template <typename T> T At(const std::string &bytes, size_t offset)
{
    T value{};
    memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The file offset of the image's entry point, through its section table.
size_t EntryOffset(const std::string &image)
{
    uint32_t pe = At<uint32_t>(image, 0x3C);
    uint16_t sections = At<uint16_t>(image, pe + 6);
    uint16_t optionalSize = At<uint16_t>(image, pe + 20);
    uint32_t entry = At<uint32_t>(image, pe + 24 + 16);
    size_t table = pe + 24 + optionalSize;
    for (unsigned i = 0; i < sections; ++i) {
        size_t at = table + 40 * i;
        uint32_t size = At<uint32_t>(image, at + 8), rva = At<uint32_t>(image, at + 12);
        if (entry >= rva && entry < rva + size)
            return At<uint32_t>(image, at + 20) + (entry - rva);
    }
    return 0;
}

// The image with its entry point's first bytes replaced.
std::string WithEntry(std::string image, const std::string &code)
{
    size_t at = EntryOffset(image);
    EXPECT_NE(at, 0u);
    image.replace(at, code.size(), code);
    return image;
}

// Its section named from renamed to to (eight bytes each, zero-padded).
std::string WithSectionRenamed(std::string image, const char (&from)[9], const char (&to)[9])
{
    size_t at = image.find(std::string(from, 8));
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos)
        image.replace(at, 8, std::string(to, 8));
    return image;
}

std::string Findings()
{
    std::string all;
    for (const sim::Violation &violation : sim::Violations())
        all += violation.Text + "\n";
    return all;
}

// The DLL's entry point, called as the GDI engine calls it.
BOOL EnableDriver(DRVENABLEDATA &data)
{
    auto entry = (BOOL(*)(ULONG, ULONG, DRVENABLEDATA *))(void *)sim::DisplayImageEntry();
    return sim::detail::CallDriver(entry, DDI_DRIVER_VERSION_NT5_01, (ULONG)sizeof data, &data);
}

// x64 code: xor eax, eax; ret (returns FALSE), and the same after changing
// rsi, which the Microsoft convention has a callee keep.
const std::string ReturnFalse("\x31\xC0\xC3", 3);
const std::string ClobberRsi("\x48\x31\xF6\x31\xC0\xC3", 6);

TEST(DisplayImageLoader, RefusesWhatItCannotRunAndRunsTheDllsOwnCode)
{
    if (!fs::exists(DllPath))
        GTEST_SKIP() << "no DLL at " << DllPath << ": build the windows-x64 preset first";
    fs::path dir = fs::temp_directory_path() / ("kvr-display-test-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string dll = Read(DllPath), symbols = Read(SymbolsOf(DllPath));
    std::string renamed = dll;
    size_t at = renamed.find(std::string("EngMapFile\0", 11));
    ASSERT_NE(at, std::string::npos);
    renamed[at + 9] = 'x';
    const struct {
        const char *Name;
        std::string Image;   // empty: no file
        std::string Symbols; // empty: no file
        const char *Error;   // null: taken into use
        BOOL Enabled;        // DrvEnableDriver's answer then
        const char *Finding; // a finding of that call, or null for none
    } cases[] = {
        {"missing", "", "", "cannot open", FALSE, nullptr},
        {"no-symbols", dll, "", "no symbol file", FALSE, nullptr},
        {"miniport", Read(MiniportPath), Read(SymbolsOf(MiniportPath)),
         "the image's entry point is not DrvEnableDriver of its symbols", FALSE, nullptr},
        {"unknown-import", renamed, symbols,
         "imports win32k.sys!EngMapFilx, which the simulated kernel does not provide", FALSE,
         nullptr},
        {"start-up-section", WithSectionRenamed(dll, ".rdata\0\0", "INIT\0\0\0\0"), symbols,
         "a display driver has no start-up (INIT) section", FALSE, nullptr},
        {"good", dll, symbols, nullptr, TRUE, nullptr},
        {"entry-patched", WithEntry(dll, ReturnFalse), symbols, nullptr, FALSE, nullptr},
        {"entry-clobbers-rsi", WithEntry(dll, ClobberRsi), symbols, nullptr, FALSE,
         "DrvEnableDriver returned with rsi changed"},
    };
    for (const auto &c : cases) {
        fs::path path = dir / (std::string(c.Name) + ".dll");
        if (!c.Image.empty())
            Write(path, c.Image);
        if (!c.Symbols.empty())
            Write(SymbolsOf(path), c.Symbols);
        std::string error = sim::UseDisplayImage(path.string());
        if (!c.Error)
            EXPECT_EQ(error, "") << c.Name;
        else
            EXPECT_NE(error.find(c.Error), std::string::npos) << c.Name << ": " << error;
        EXPECT_EQ(sim::DisplayImageInUse(), c.Error == nullptr) << c.Name;
        if (!c.Error) {
            sim::Reset(sim::Options{});
            const void *entry = sim::DisplayImageEntry();
            ASSERT_NE(entry, nullptr) << c.Name;
            EXPECT_TRUE(sim::detail::InImage(entry)) << c.Name;
            DRVENABLEDATA data{};
            EXPECT_EQ(EnableDriver(data), c.Enabled) << c.Name;
            // The table's routines are the DLL's: the engine's calls of
            // them cross too.
            for (ULONG i = 0; c.Enabled && i < data.c; ++i)
                EXPECT_TRUE(sim::detail::InImage((const void *)data.pdrvfn[i].pfn))
                    << c.Name << ": index " << data.pdrvfn[i].iFunc;
            if (c.Finding)
                EXPECT_NE(Findings().find(c.Finding), std::string::npos)
                    << c.Name << ": " << Findings();
            else
                EXPECT_EQ(Findings(), "") << c.Name;
            sim::Shutdown();
        }
        sim::StopUsingDisplayImage();
    }
    fs::remove_all(dir);
}

TEST(DisplayImageLoader, EveryKernelMapsAFreshCopyBesideTheMiniport)
{
    if (!fs::exists(DllPath) || !fs::exists(MiniportPath))
        GTEST_SKIP() << "no images beside " << MiniportPath << ": build the windows-x64 preset";
    ASSERT_EQ(sim::UseImage(MiniportPath.string()), "");
    ASSERT_EQ(sim::UseDisplayImage(DllPath.string()), "");
    sim::Reset(sim::Options{});
    const void *first = sim::DisplayImageEntry();
    ASSERT_NE(first, nullptr);
    EXPECT_NE(sim::ImageEntry(), nullptr);
    // The table the entry point fills points into this kernel's copy.
    DRVENABLEDATA data{};
    EXPECT_EQ(EnableDriver(data), TRUE);
    ASSERT_GT(data.c, 0u);
    const uint8_t *table = (const uint8_t *)data.pdrvfn;
    EXPECT_TRUE(table >= (const uint8_t *)sim::detail::DisplayBegin &&
                table < (const uint8_t *)sim::detail::DisplayEnd);
    sim::Shutdown();
    // The next kernel's copy is another one; the miniport's stays beside it.
    sim::Reset(sim::Options{});
    EXPECT_NE(sim::DisplayImageEntry(), nullptr);
    EXPECT_NE(sim::ImageEntry(), nullptr);
    EXPECT_EQ(EnableDriver(data), TRUE);
    EXPECT_EQ(Findings(), "");
    sim::Shutdown();
    // Without the miniport's image the DLL still runs (beside the host
    // build), and without the DLL nothing of it is mapped.
    sim::StopUsingImage();
    sim::Reset(sim::Options{});
    EXPECT_EQ(sim::ImageEntry(), nullptr);
    EXPECT_NE(sim::DisplayImageEntry(), nullptr);
    EXPECT_EQ(EnableDriver(data), TRUE);
    sim::Shutdown();
    sim::StopUsingDisplayImage();
    sim::Reset(sim::Options{});
    EXPECT_EQ(sim::DisplayImageEntry(), nullptr);
    EXPECT_EQ(sim::detail::DisplayBegin, 0u);
    sim::Shutdown();
}

} // namespace
