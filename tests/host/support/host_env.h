// Common fixture for host tests: a fresh bus with a UART on COM1, a fresh
// processor and fake physical memory.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "fake_bus.h"
#include "fake_cpu.h"
#include "fake_phys.h"

class host_test : public ::testing::Test {
protected:
    void SetUp() override {
        fake_bus::reset();
        fake_cpu::reset();
        fake_phys::ensure();
        fake_bus::attach(&uart, 0x3F8, 8);
    }
    // Everything the kernel sent on COM1 since the last call.
    std::string serial() { return uart.take_output(); }

    uart_model uart;
};
