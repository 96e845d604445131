# Front door. The two set-up commands are `make run` (the main job) and `make test` (all tests);
# both install their own dependencies first.
.PHONY: deps build win32 win64 test test-native test-win bench run clean format \
	configure-native configure-win32 configure-win64

SHELL := /bin/bash
NATIVE := build/native
PAYLOAD ?=
JOBS ?= $(shell nproc)
# ccache where it is installed: a rebuild of the same sources (CI, a second build folder) then
# takes seconds instead of minutes.
LAUNCHER := $(shell command -v ccache 2>/dev/null)
CONFIGURE_FLAGS := -DCMAKE_C_COMPILER_LAUNCHER=$(LAUNCHER) -DCMAKE_CXX_COMPILER_LAUNCHER=$(LAUNCHER)

deps:
	@scripts/deps.sh

build: configure-native
	cmake --build $(NATIVE) -j $(JOBS)

# The Windows builds pack their payload with the native ketro-pack, so the native tools come
# first. win32 is the shipped program (PE32, i686), and the Windows test suites run it under
# 32-bit Wine (in an emulated x86 machine where the kernel runs no 32-bit code, see
# scripts/run-tests.sh); win64 is the same sources for x86-64.
configure-native:
	@[ -f $(NATIVE)/build.ninja ] || cmake --preset native $(CONFIGURE_FLAGS) >/dev/null

configure-win32 configure-win64: configure-native
	@b=$(@:configure-%=%); if [ ! -f build/$$b/build.ninja ] || [ "$$(cat build/$$b/.payload 2>/dev/null)" != "$(PAYLOAD)" ]; then \
	  cmake --preset $$b $(CONFIGURE_FLAGS) -DKET_PAYLOAD="$(PAYLOAD)" -DKET_HOST_BIN="$(CURDIR)/$(NATIVE)/bin" >/dev/null && \
	  echo "$(PAYLOAD)" > build/$$b/.payload; fi

win32 win64: build
	@$(MAKE) --no-print-directory configure-$@
	cmake --build build/$@ -j $(JOBS)

# The suites first, so that a failing test is what one sees first; then the release check, and
# the whole fails if either did.
test: deps
	@$(MAKE) --no-print-directory build win32
	@status=0; scripts/run-tests.sh || status=$$?; \
	  $(MAKE) --no-print-directory check-release || status=1; exit $$status

test-native: build
	ctest --test-dir $(NATIVE) --output-on-failure -j $(JOBS)

test-win: win32
	KET_WINE_ARCH=win32 scripts/with-wine.sh ctest --test-dir build/win32 --output-on-failure

bench: deps
	@$(MAKE) --no-print-directory build
	@scripts/bench.sh

# Only what it shows: the native packer, then the setup program with its product.
run: deps
	@$(MAKE) --no-print-directory configure-win32
	cmake --build $(NATIVE) -j $(JOBS) --target ketro-pack
	cmake --build build/win32 -j $(JOBS) --target KetroSetup
	@scripts/run.sh

# The release (scripts/release.sh, README "Releasing"): the shipped program stripped, its debug
# information and SHA256SUMS in dist/; PAYLOAD=DIR packs that product (the demo product
# without), SOURCE_DATE_EPOCH=N dates every entry, SIGN_CERT=... SIGN_KEY=... or
# SIGN_PKCS12=... SIGN_PASS=... sign it.
.PHONY: release check-release
release: deps
	@$(MAKE) --no-print-directory build
	@JOBS=$(JOBS) KET_HOST_BIN="$(CURDIR)/$(NATIVE)/bin" scripts/release.sh build

# Reproducibility: build/win32 against one more build of the same sources in another folder
# (build/release-check): the same release bytes, no folder names inside, and the PE32 exe
# still whole once signed.
check-release: win32
	@JOBS=$(JOBS) scripts/release.sh check

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(NATIVE) build/win32 build/win64
