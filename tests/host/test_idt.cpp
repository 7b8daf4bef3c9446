// The descriptor table, the 8259A programming and the dispatcher, checked against
// a model of the controller pair and what reaches COM1.
#include <cstring>
#include <string>
#include <vector>

#include "fake_isr.h"
#include "host_env.h"
#include "idt.h"
#include "interrupt_devices.h"

namespace {

constexpr uint16_t DELAY = 0x80;

// What the test handlers saw.
struct handler_log {
    std::vector<uint64_t> vectors;
    std::vector<interrupt_frame*> frames;
    std::vector<size_t> eois_before;  // acknowledgements already sent when called
};
handler_log g_seen;
pic_model* g_pic;

void record(interrupt_frame* frame) {
    g_seen.vectors.push_back(frame->vector);
    g_seen.frames.push_back(frame);
    g_seen.eois_before.push_back(g_pic->eois().size());
}
void other_handler(interrupt_frame* frame) { g_seen.vectors.push_back(1000 + frame->vector); }

interrupt_frame frame_for(uint64_t vector, uint64_t error_code = 0) {
    interrupt_frame f{};
    f.vector = vector;
    f.error_code = error_code;
    return f;
}

class idt : public host_test {
protected:
    void SetUp() override {
        host_test::SetUp();
        fake_isr::reset();
        pic.attach();
        g_pic = &pic;
        g_seen = {};
        for (int v = 0; v < 256; ++v) irq_install(v, nullptr);
    }

    // Dispatches one frame; true when the machine halted.
    bool dispatch(interrupt_frame f) {
        try {
            isr_dispatch(&f);
        } catch (const machine_halted&) {
            return true;
        }
        return false;
    }

    pic_model pic;
};

TEST_F(idt, remap_programs_both_controllers_and_masks_every_line) {
    pic_remap(0x20, 0x28);
    const std::vector<port_access> expected = {
        {true, 8, 0x20, 0x11}, {true, 8, DELAY, 0}, {true, 8, 0xA0, 0x11}, {true, 8, DELAY, 0},
        {true, 8, 0x21, 0x20}, {true, 8, DELAY, 0}, {true, 8, 0xA1, 0x28}, {true, 8, DELAY, 0},
        {true, 8, 0x21, 0x04}, {true, 8, DELAY, 0}, {true, 8, 0xA1, 0x02}, {true, 8, DELAY, 0},
        {true, 8, 0x21, 0x01}, {true, 8, DELAY, 0}, {true, 8, 0xA1, 0x01}, {true, 8, DELAY, 0},
        {true, 8, 0x21, 0xFF}, {true, 8, 0xA1, 0xFF}};
    EXPECT_EQ(fake_bus::log(), expected);
    EXPECT_EQ(pic.master().inits, 1);
    EXPECT_EQ(pic.slave().inits, 1);

    pic_remap(0x70, 0x78);  // the offsets are the caller's, not built in
    EXPECT_EQ(pic.master().vector_base, 0x70);
    EXPECT_EQ(pic.slave().vector_base, 0x78);
}

TEST_F(idt, mask_all_and_unmask_touch_only_what_they_name) {
    pic_remap(0x20, 0x28);
    for (int line : {0, 1, 10, 15}) pic_unmask_irq(line);
    EXPECT_EQ(pic.master().imr, 0xFC);
    EXPECT_EQ(pic.slave().imr, 0x7B);  // a slave line opens at the slave alone: line 2 stays masked
    pic.master().imr = 0x5A;  // whatever else is in the register survives
    pic_unmask_irq(3);
    pic_unmask_irq(5);  // already open
    EXPECT_EQ(pic.master().imr, 0x52);

    fake_bus::clear_log();
    pic_unmask_irq(-1);  // there are no lines outside 0-15
    pic_unmask_irq(16);
    EXPECT_TRUE(fake_bus::log().empty());
    pic_mask_all();
    const std::vector<port_access> expected = {{true, 8, 0x21, 0xFF}, {true, 8, 0xA1, 0xFF}};
    EXPECT_EQ(fake_bus::log(), expected);
    EXPECT_EQ(pic.master().imr, 0xFF);
    EXPECT_EQ(pic.slave().imr, 0xFF);
}

TEST_F(idt, gates_are_built_from_the_stub_table_and_loaded) {
    idt_init();
    ASSERT_EQ(fake_isr::loads(), 1);
    const idt_pointer op = fake_isr::last_operand();
    EXPECT_EQ(op.limit, 0x0FFF);
    ASSERT_NE(op.base, 0u);

    for (int v = 0; v < 256; ++v) {
        uint64_t gate[2];
        std::memcpy(gate, reinterpret_cast<const uint8_t*>(op.base) + v * 16, 16);
        const uint64_t stub = isr_stub_table[v];
        // Offset 0-15, selector 0x08, IST (debug, NMI, double fault, machine check only), present
        // DPL 0 interrupt gate, offset 16-63, zero.
        const uint64_t ist = v == 8 ? 1 : v == 2 ? 2 : v == 1 ? 3 : v == 18 ? 4 : 0;
        EXPECT_EQ(gate[0], (stub & 0xFFFF) | 0x08ull << 16 | (0x8E00ull | ist) << 32 | (stub >> 16 & 0xFFFF) << 48) << v;
        EXPECT_EQ(gate[1], stub >> 32) << v;
    }
}

TEST_F(idt, handler_runs_with_its_frame_and_the_line_is_acknowledged_after_it) {
    pic_remap(0x20, 0x28);
    irq_install(33, record);
    pic.master().imr = 0x00;  // open everything at the model, as a driver would per line
    pic.slave().imr = 0x00;
    cpu_enable_interrupts();

    interrupt_frame f = frame_for(33);
    isr_dispatch(&f);
    ASSERT_EQ(g_seen.vectors, std::vector<uint64_t>{33});
    EXPECT_EQ(g_seen.frames[0], &f);
    EXPECT_EQ(g_seen.eois_before[0], 0u);  // not acknowledged before the handler ran
    EXPECT_EQ(pic.eois(), std::vector<std::string>{"master EOI"});

    // A real request: taken, served, acknowledged, and so taken again.
    pic.clear_eois();
    pic.raise(1);
    pic.raise(1);
    EXPECT_EQ(g_seen.vectors.size(), 3u);
    EXPECT_EQ(pic.master().isr, 0);
    EXPECT_EQ(pic.eois().size(), 2u);
}

TEST_F(idt, every_pic_vector_is_acknowledged_claimed_or_not) {
    for (int v = 32; v < 48; ++v) irq_install(v, (v % 2) ? record : nullptr);
    for (int v = 32; v < 48; ++v) {
        pic.clear_eois();
        EXPECT_FALSE(dispatch(frame_for(static_cast<uint64_t>(v))));
        std::vector<std::string> expected;
        if (v >= 40) expected.push_back("slave EOI");
        expected.push_back("master EOI");
        EXPECT_EQ(pic.eois(), expected) << "vector " << v;
    }
    EXPECT_EQ(g_seen.vectors.size(), 8u);
    EXPECT_EQ(serial(), "");

    // Slave line 9 through the model: both in-service bits are cleared again.
    pic_remap(0x20, 0x28);
    pic.master().imr = 0x00;
    pic.slave().imr = 0x00;
    cpu_enable_interrupts();
    pic.raise(9);
    pic.raise(9);
    EXPECT_EQ(g_seen.vectors.back(), 41u);
    EXPECT_EQ(pic.slave().isr, 0);
    EXPECT_EQ(pic.master().isr, 0);
}

TEST_F(idt, vectors_above_47_are_never_acknowledged) {
    irq_install(128, record);
    for (uint64_t v : {48ull, 100ull, 128ull, 255ull}) EXPECT_FALSE(dispatch(frame_for(v)));
    EXPECT_EQ(g_seen.vectors, std::vector<uint64_t>{128});
    EXPECT_TRUE(fake_bus::writes_to(0x20).empty());
    EXPECT_TRUE(fake_bus::writes_to(0xA0).empty());
    EXPECT_EQ(serial(), "");

    // Not a vector at all: no table lookup, nothing printed, no halt.
    fake_bus::clear_log();
    EXPECT_FALSE(dispatch(frame_for(256)));
    EXPECT_FALSE(dispatch(frame_for(~0ull)));
    EXPECT_EQ(serial(), "");
    EXPECT_TRUE(fake_bus::log().empty());
}

TEST_F(idt, installing_again_replaces_and_a_handled_exception_is_not_reported) {
    irq_install(33, record);
    irq_install(33, other_handler);
    irq_install(14, other_handler);
    EXPECT_FALSE(dispatch(frame_for(33)));
    EXPECT_FALSE(dispatch(frame_for(14, 2)));
    EXPECT_EQ(g_seen.vectors, (std::vector<uint64_t>{1033, 1014}));
    EXPECT_EQ(serial(), "");
    // Exceptions are not PIC lines: nothing to acknowledge.
    EXPECT_EQ(pic.eois(), std::vector<std::string>{"master EOI"});
}

interrupt_frame faulting_frame(uint64_t vector, uint64_t error_code) {
    interrupt_frame f = frame_for(vector, error_code);
    f.rip = 0x10ABCD;
    f.cs = 0x08;
    f.rflags = 0x10246;
    f.rax = 0xA;
    f.rbx = 0xFFFF8000DEADBEEF;
    f.rcx = 0;
    f.rdx = 0x3F8;
    f.rsp = 0x106900;
    f.rbp = 0x106918;
    f.rsi = 0x5151;  // registers the report does not show
    f.r15 = 0x1515;
    f.ss = 0x10;
    return f;
}

TEST_F(idt, exception_report_shows_cr2_for_page_faults_only_and_halts) {
    fake_cpu::set_cr(2, 0x7FFFFFF000);
    cpu_enable_interrupts();
    EXPECT_TRUE(dispatch(faulting_frame(14, 2)));
    EXPECT_EQ(serial(),
              "\n  [EXCEPTION] Interrupt 14, Error: 2\n"
              "  RIP=10ABCD CS=8 RFLAGS=10246\n"
              "  CR2 (fault addr)=7FFFFFF000\n"
              "  RAX=A RBX=FFFF8000DEADBEEF RCX=0 RDX=3F8\n"
              "  RSP=106900 RBP=106918\n"
              "  System halted.\n");
    EXPECT_FALSE(fake_cpu::interrupts_enabled());
    EXPECT_TRUE(dispatch(faulting_frame(13, 0x18)));  // general protection, the CPU's error code
    EXPECT_EQ(serial(),
              "\n  [EXCEPTION] Interrupt 13, Error: 24\n"
              "  RIP=10ABCD CS=8 RFLAGS=10246\n"
              "  RAX=A RBX=FFFF8000DEADBEEF RCX=0 RDX=3F8\n"
              "  RSP=106900 RBP=106918\n"
              "  System halted.\n");
}

TEST_F(idt, every_unhandled_processor_vector_halts_and_none_above) {
    for (uint64_t v = 0; v < 32; ++v) {
        EXPECT_TRUE(dispatch(frame_for(v))) << "vector " << v;
        const std::string out = serial();
        EXPECT_EQ(out.rfind("\n  [EXCEPTION] Interrupt " + std::to_string(v) + ", Error: 0\n", 0), 0u) << out;
        EXPECT_EQ(out.find("CR2") != std::string::npos, v == 14) << "vector " << v;
    }
    EXPECT_TRUE(pic.eois().empty());
    EXPECT_FALSE(dispatch(frame_for(32)));
    EXPECT_EQ(serial(), "");
}

}  // namespace
