# Thin front end over CMake: every target first makes sure the tools are there.
# run, iso and debug build only what boots (kernel, programs, ISO, disk); the
# test binaries are built by `make test` alone.
BUILD   ?= build
DEBUG_BUILD ?= build-debug
ACCEL   ?= tcg
QEMU    ?= qemu-system-x86_64
DISK    ?= $(BUILD)/disk.img
DEBUG_DISK ?= $(DEBUG_BUILD)/disk.img
ISO     := $(BUILD)/tarvelin.iso
FUZZ_SECONDS ?= 60
OVMF_CODE ?= /usr/share/OVMF/OVMF_CODE_4M.fd
OVMF_VARS ?= /usr/share/OVMF/OVMF_VARS_4M.fd
BOOT_TARGETS = --target iso --target disk_image

QEMU_FLAGS = -accel $(ACCEL) -cpu qemu64 -m 512M -boot d -serial mon:stdio
ifeq ($(GUI),1)
  QEMU_FLAGS += -display gtk
else
  QEMU_FLAGS += -display none
endif
# The build makes the disk (so no test for the file here: on a fresh tree it
# would run before the build and leave the disk out); `make run DISK=` boots
# without a disk. boot_qemu's third argument is the disk to attach.
comma := ,
disk_flags = $(if $(1),-drive file=$(1)$(comma)format=raw$(comma)if=ide$(comma)index=0$(comma)media=disk)
# UEFI=1 boots under OVMF, each run with a fresh copy of the firmware's variable
# store, so that two machines can run side by side.
ifeq ($(UEFI),1)
define boot_qemu
	@vars=$$(mktemp); trap 'rm -f "$$vars"' EXIT INT TERM; cp $(OVMF_VARS) "$$vars" && \
	$(QEMU) $(QEMU_FLAGS) -drive if=pflash,format=raw,unit=0,readonly=on,file=$(OVMF_CODE) \
	  -drive if=pflash,format=raw,unit=1,file="$$vars" -cdrom $(1) $(2) $(call disk_flags,$(3))
endef
else
define boot_qemu
	$(QEMU) $(QEMU_FLAGS) -cdrom $(1) $(2) $(call disk_flags,$(3))
endef
endif

.PHONY: all deps configure build iso run debug test bench fuzz fuzz-merge clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD)

iso: configure
	@cmake --build $(BUILD) $(BOOT_TARGETS)

run: iso
	@echo "Tarvelin on COM1 (leave QEMU with Ctrl-A X)"
	$(call boot_qemu,$(ISO),,$(DISK))

# A build of its own with -Og and full debugging information for the kernel and
# every program, with its own disk whose programs carry it too (so that gdb's
# symbols match what runs from /bin); QEMU waits paused for gdb. DEBUG_DISK=
# boots it without a disk.
debug: deps
	@test -f $(DEBUG_BUILD)/build.ninja || \
	  cmake -S . -B $(DEBUG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVELIN_DEBUG=ON >/dev/null
	@cmake --build $(DEBUG_BUILD) $(BOOT_TARGETS)
	@echo "QEMU is paused with its GDB stub on :1234; in another terminal: gdb -x scripts/kernel.gdb"
	$(call boot_qemu,$(DEBUG_BUILD)/tarvelin.iso,-s -S,$(DEBUG_DISK))

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

# Boot and command timings against a minimal reference kernel and against Debian's
# Linux kernel (fetched into $(BUILD)/bench-linux on the first run); prints tables.
bench: iso
	python3 scripts/bench.py --build $(BUILD)

# Fuzzes every parser of outside input for FUZZ_SECONDS each (scripts/fuzz); what it
# finds stays in $(BUILD)/fuzz until fuzz-merge takes it into tests/fuzz.
fuzz: build
	BUILD=$(BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz $(FUZZ_TARGETS)

fuzz-merge: build
	BUILD=$(BUILD) scripts/fuzz --merge $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD) $(DEBUG_BUILD)
