# Thin front end over CMake: every target first makes sure the tools are there.
BUILD   ?= build
ACCEL   ?= tcg
QEMU    ?= qemu-system-x86_64
DISK    ?= $(BUILD)/disk.img
ISO     := $(BUILD)/tarvelin.iso
FUZZ_SECONDS ?= 60

QEMU_FLAGS = -accel $(ACCEL) -cpu qemu64 -m 512M -boot d -cdrom $(ISO) -serial mon:stdio
ifeq ($(GUI),1)
  QEMU_FLAGS += -display gtk
else
  QEMU_FLAGS += -display none
endif
# The build makes $(DISK) (so no test for the file here: on a fresh tree it
# would run before the build and leave the disk out); `make run DISK=` boots
# without a disk.
ifneq ($(DISK),)
  QEMU_FLAGS += -drive file=$(DISK),format=raw,if=ide,index=0,media=disk
endif

.PHONY: all deps configure build iso run debug test bench fuzz fuzz-merge clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD)

iso: build

run: build
	@echo "Tarvelin on COM1 (leave QEMU with Ctrl-A X)"
	$(QEMU) $(QEMU_FLAGS)

debug: build
	@echo "QEMU is paused with its GDB stub on :1234; in another terminal: gdb -x scripts/kernel.gdb"
	$(QEMU) $(QEMU_FLAGS) -s -S

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

# Boot and command timings against a minimal reference kernel; prints a table.
bench: build
	python3 scripts/bench.py --build $(BUILD)

# Fuzzes every parser of outside input for FUZZ_SECONDS each (scripts/fuzz); what it
# finds stays in $(BUILD)/fuzz until fuzz-merge takes it into tests/fuzz.
fuzz: build
	BUILD=$(BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz $(FUZZ_TARGETS)

fuzz-merge: build
	BUILD=$(BUILD) scripts/fuzz --merge $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD)
