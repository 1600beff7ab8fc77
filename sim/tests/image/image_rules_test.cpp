// The loader's rules on test images: small kernel images written here, their
// code the routines below, assembled as a compiler for Windows would write
// them. CR8 accesses routed at load to the simulated IRQL without a trap,
// and those the loader cannot place trapped and emulated, with the same
// findings either way; the unwind data every routine that is not a leaf
// must have.

#include "record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// Microsoft convention, one argument in rcx.
//  kvr_rules_entry      DriverEntry: returns 0.
//  kvr_rules_read       returns CR8; the access and the 5-byte mov after it
//                       are placed.
//  kvr_rules_read_jump  returns CR8; a jmp follows the access: not placed.
//  kvr_rules_read_into  returns CR8 when rcx is not 0; a branch goes to the
//                       instruction after the access: not placed.
//  kvr_rules_raise      raises the IRQL to DISPATCH_LEVEL and returns
//                       without lowering it: placed.
//  kvr_rules_raise_jump the same, a jmp after the access: not placed.
//  kvr_rules_raise_lower raises, lowers back to PASSIVE_LEVEL: placed.
//  kvr_rules_calls      calls kvr_rules_entry (needs unwind data; never run).
//  kvr_rules_pushes     pushes and pops rbx (needs unwind data).
//  kvr_rules_saves      keeps rbx in its home space (needs unwind data).
//  kvr_rules_framed     pushes rbx: the test image gives it unwind data.
extern "C" {
void kvr_rules_begin();
void kvr_rules_entry();
void kvr_rules_read();
void kvr_rules_read_jump();
void kvr_rules_read_into();
void kvr_rules_raise();
void kvr_rules_raise_jump();
void kvr_rules_raise_lower();
void kvr_rules_calls();
void kvr_rules_pushes();
void kvr_rules_saves();
void kvr_rules_framed();
void kvr_rules_end();
}
asm(R"(
    .text
    .p2align 4
    .globl kvr_rules_begin
kvr_rules_begin:
kvr_rules_entry:
.Lkvr_rules_entry:
    xorl %eax, %eax
    ret
kvr_rules_read:
    movq %cr8, %rax
    movl $0, %edx
    ret
kvr_rules_read_jump:
    movq %cr8, %rax
    jmp 1f
1:  ret
kvr_rules_read_into:
    xorl %eax, %eax
    testq %rcx, %rcx
    jz 1f
    movq %cr8, %rax
1:  movl $0, %edx
    ret
kvr_rules_raise:
    movl $2, %eax
    movq %rax, %cr8
    movl $0, %eax
    ret
kvr_rules_raise_jump:
    movl $2, %eax
    movq %rax, %cr8
    jmp 1f
1:  xorl %eax, %eax
    ret
kvr_rules_raise_lower:
    movl $2, %eax
    movq %rax, %cr8
    xorl %eax, %eax
    movq %rax, %cr8
    movl $0, %eax
    ret
kvr_rules_calls:
    call .Lkvr_rules_entry
    ret
kvr_rules_pushes:
    pushq %rbx
    popq %rbx
    ret
kvr_rules_saves:
    movq %rbx, 8(%rsp)
    xorl %ebx, %ebx
    movq 8(%rsp), %rbx
    ret
kvr_rules_framed:
    pushq %rbx
    popq %rbx
    ret
    .globl kvr_rules_end
kvr_rules_end:
    .globl kvr_rules_read, kvr_rules_read_jump, kvr_rules_read_into, kvr_rules_raise
    .globl kvr_rules_raise_jump, kvr_rules_raise_lower, kvr_rules_calls, kvr_rules_pushes
    .globl kvr_rules_saves, kvr_rules_framed, kvr_rules_entry
)");

namespace
{

namespace fs = std::filesystem;

struct Routine {
    const char *Name;
    void (*Code)();
    void (*Next)(); // where its code ends
    bool Unwind;    // an entry in .pdata
};

template <typename T> void Put(std::string &bytes, size_t at, T value)
{
    if (bytes.size() < at + sizeof value)
        bytes.resize(at + sizeof value);
    memcpy(bytes.data() + at, &value, sizeof value);
}

// A PE32+ image for x64 of the native subsystem: .text (the routines' code,
// kvr_rules_begin to kvr_rules_end), .rdata (an empty import directory, the
// CodeView record the symbol file names, one unwind information), .pdata (an
// entry for each routine with Unwind), and its symbol file.
fs::path WriteImage(const std::string &name, const std::vector<Routine> &routines)
{
    const uint8_t *code = (const uint8_t *)&kvr_rules_begin;
    size_t codeSize = (size_t)((const uint8_t *)&kvr_rules_end - code);
    auto rva = [&](void (*f)()) { return (uint32_t)(0x1000 + ((const uint8_t *)f - code)); };
    std::string b(0x400, '\0');
    Put<uint16_t>(b, 0, 0x5A4D);
    Put<uint32_t>(b, 0x3C, 0x40);
    Put<uint32_t>(b, 0x40, 0x4550);
    Put<uint16_t>(b, 0x44, 0x8664);
    Put<uint16_t>(b, 0x46, 3);
    Put<uint16_t>(b, 0x54, 0xF0);
    const size_t optional = 0x58;
    Put<uint16_t>(b, optional, 0x20B);
    Put<uint32_t>(b, optional + 16, rva(&kvr_rules_entry));
    Put<uint64_t>(b, optional + 24, 0x140000000ull);
    Put<uint32_t>(b, optional + 32, 0x1000);
    Put<uint32_t>(b, optional + 36, 0x200);
    Put<uint32_t>(b, optional + 56, 0x4000);
    Put<uint32_t>(b, optional + 60, 0x400);
    Put<uint16_t>(b, optional + 68, 1);
    Put<uint32_t>(b, optional + 108, 16);
    Put<uint32_t>(b, optional + 112 + 8 * 1, 0x2000); // imports: one empty descriptor
    Put<uint32_t>(b, optional + 112 + 8 * 1 + 4, 20);
    std::string pdata;
    for (const Routine &r : routines)
        if (r.Unwind) {
            Put<uint32_t>(pdata, pdata.size(), rva(r.Code));
            Put<uint32_t>(pdata, pdata.size(), rva(r.Next));
            Put<uint32_t>(pdata, pdata.size(), 0x2040);
        }
    Put<uint32_t>(b, optional + 112 + 8 * 3, 0x3000);
    Put<uint32_t>(b, optional + 112 + 8 * 3 + 4, (uint32_t)pdata.size());
    const struct {
        const char *Name;
        uint32_t Rva, Size, Raw, Flags;
    } sections[] = {{".text", 0x1000, (uint32_t)codeSize, 0x400, 0x60000020},
                    {".rdata", 0x2000, 0x200, 0x1400, 0x40000040},
                    {".pdata", 0x3000, 0x200, 0x1600, 0x40000040}};
    for (size_t i = 0; i < 3; ++i) {
        size_t at = optional + 0xF0 + 40 * i;
        memcpy(b.data() + at, sections[i].Name, strlen(sections[i].Name));
        Put<uint32_t>(b, at + 8, sections[i].Size);
        Put<uint32_t>(b, at + 12, sections[i].Rva);
        Put<uint32_t>(b, at + 16, (sections[i].Size + 0x1FF) & ~0x1FFu);
        Put<uint32_t>(b, at + 20, sections[i].Raw);
        Put<uint32_t>(b, at + 36, sections[i].Flags);
    }
    EXPECT_LE(codeSize, 0x1000u);
    b.resize(0x1800, '\0');
    memcpy(b.data() + 0x400, code, codeSize);
    memcpy(b.data() + 0x1400 + 0x20, "RSDS", 4);
    memset(b.data() + 0x1400 + 0x24, 0x11, 16);
    b[0x1400 + 0x40] = 1; // unwind information: version 1, no codes
    memcpy(b.data() + 0x1600, pdata.data(), pdata.size());
    fs::path dir = fs::temp_directory_path() / ("kvr-rules-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path image = dir / (name + ".sys");
    std::ofstream(image, std::ios::binary) << b;
    std::ofstream symbols(fs::path(image).replace_extension(".sym"));
    symbols << "image " << std::string(32, '1') << " 1\n";
    symbols << std::hex << "proc " << rva(&kvr_rules_entry) << std::dec << " 3 DriverEntry\n";
    for (const Routine &r : routines)
        symbols << std::hex << "proc " << rva(r.Code) << std::dec << " "
                << (const uint8_t *)r.Next - (const uint8_t *)r.Code << " " << r.Name << "\n";
    return image;
}

class Rules : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        sim::Shutdown();
        sim::StopUsingImage();
        fs::remove_all(fs::temp_directory_path() / ("kvr-rules-" + std::to_string(getpid())));
    }
    // The mapped copy's address of one of the routines above.
    template <typename F> F Mapped(void (*routine)())
    {
        return (F)(void *)((uint8_t *)(void *)sim::ImageEntry() +
                           ((const uint8_t *)routine - (const uint8_t *)&kvr_rules_entry));
    }
    std::string Findings()
    {
        std::string all;
        for (const sim::Violation &violation : sim::Violations())
            all += violation.Text + "\n";
        return all;
    }
};

TEST_F(Rules, ControlRegisterEightIsPlacedOrTrappedWithTheSameResultAndFindings)
{
    const std::vector<Routine> routines = {
        {"kvr_rules_read", &kvr_rules_read, &kvr_rules_read_jump, false},
        {"kvr_rules_read_jump", &kvr_rules_read_jump, &kvr_rules_read_into, false},
        {"kvr_rules_read_into", &kvr_rules_read_into, &kvr_rules_raise, false},
        {"kvr_rules_raise", &kvr_rules_raise, &kvr_rules_raise_jump, false},
        {"kvr_rules_raise_jump", &kvr_rules_raise_jump, &kvr_rules_raise_lower, false},
        {"kvr_rules_raise_lower", &kvr_rules_raise_lower, &kvr_rules_calls, false},
    };
    ASSERT_EQ(sim::UseImage(WriteImage("cr8", routines).string()), "");
    const struct {
        void (*Routine)();
        bool Thread;         // run as a system thread's start routine
        size_t Trapped;      // accesses the fault handler emulated
        const char *Finding; // the whole of the findings
    } cases[] = {
        {&kvr_rules_read, false, 0, ""},
        {&kvr_rules_read_jump, false, 1, ""},
        {&kvr_rules_read_into, false, 1, ""},
        {&kvr_rules_raise, true, 0, "thread 1 ended at IRQL 2\n"},
        {&kvr_rules_raise_jump, true, 1, "thread 1 ended at IRQL 2\n"},
        {&kvr_rules_raise_lower, true, 0, ""},
    };
    for (const auto &c : cases) {
        sim::Reset();
        if (c.Thread) {
            HANDLE handle = nullptr;
            ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr,
                                           Mapped<PKSTART_ROUTINE>(c.Routine), nullptr),
                      STATUS_SUCCESS);
            sim::RunUntilIdle();
        } else {
            // Read at APC_LEVEL, as the context's IRQL.
            sim::SetIrql(APC_LEVEL);
            uint64_t irql =
                sim::detail::CallDriver(Mapped<uint64_t (*)(PVOID)>(c.Routine), (PVOID)1);
            sim::SetIrql(PASSIVE_LEVEL);
            EXPECT_EQ(irql, (uint64_t)APC_LEVEL) << (const void *)c.Routine;
        }
        EXPECT_EQ(sim::ImageTrappedAccesses(), c.Trapped) << (const void *)c.Routine;
        EXPECT_EQ(Findings(), c.Finding) << (const void *)c.Routine;
        sim::Shutdown();
    }
}

TEST_F(Rules, EveryRoutineThatIsNoLeafHasUnwindData)
{
    const std::vector<Routine> routines = {
        {"kvr_rules_read", &kvr_rules_read, &kvr_rules_read_jump, false},
        {"kvr_rules_calls", &kvr_rules_calls, &kvr_rules_pushes, false},
        {"kvr_rules_pushes", &kvr_rules_pushes, &kvr_rules_saves, false},
        {"kvr_rules_saves", &kvr_rules_saves, &kvr_rules_framed, false},
        {"kvr_rules_framed", &kvr_rules_framed, &kvr_rules_end, true},
    };
    ASSERT_EQ(sim::UseImage(WriteImage("unwind", routines).string()), "");
    sim::Reset();
    std::string found = Findings();
    const struct {
        const char *Routine;
        const char *Why; // null: no finding
    } cases[] = {
        {"DriverEntry", nullptr},
        {"kvr_rules_read", nullptr},
        {"kvr_rules_calls", "it calls"},
        {"kvr_rules_pushes", "it pushes"},
        {"kvr_rules_saves", "it saves a register the callee keeps"},
        {"kvr_rules_framed", nullptr},
    };
    for (const auto &c : cases) {
        std::string finding = std::string(c.Routine) + " has no unwind data in .pdata, but ";
        if (!c.Why) {
            EXPECT_EQ(found.find(std::string(c.Routine) + " "), std::string::npos) << found;
            continue;
        }
        EXPECT_NE(found.find(finding + c.Why + ", so it is no leaf"), std::string::npos)
            << c.Routine << ": " << found;
    }
    // Each mapping reports them again.
    sim::Shutdown();
    sim::Reset();
    EXPECT_EQ(Findings(), found);
}

} // namespace
