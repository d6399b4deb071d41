# Entry points. `make test` and `make demo` work as the first command on a
# fresh Debian 12 machine: they install what is missing first. The sanitizer,
# Windows and fuzz builds configure from CMakePresets.json, so that an IDE
# opening those presets builds what CI builds.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# CI sets TALVEX_WERROR=ON: its builds must stay free of warnings.
TALVEX_WERROR ?= OFF
WERROR_ARG = -DTALVEX_WERROR=$(TALVEX_WERROR)

.PHONY: all deps build test demo try clean windows windows-installer wine-check asan tsan fuzz \
        asan-build tsan-build fuzz-build \
        bench soak install package package-check format format-check tidy

all: build

deps:
	@./tools/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR_ARG) $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	./tools/demo.sh $(BUILD)/bin

# The window on an emulated target; TRY_SIM_ARGS go to zarq-sim.
TRY_SIM_ARGS ?=
try: build
	./tools/try.sh $(BUILD)/bin $(TRY_SIM_ARGS)

clean:
	rm -rf $(BUILD) build-windows build-asan build-tsan build-fuzz

# One program folder PREFIX/lib/talvex with links in PREFIX/bin, the desktop
# entry, icons and man pages under PREFIX/share. DESTDIR stages it elsewhere.
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian packages of that layout in $(BUILD)/, made from the build the
# tests ran against (its flags are Debian's hardening ones): talvex-cli,
# talvex and their -dbgsym packages. The check lints them, validates the
# desktop files, and as root installs, flashes with, removes and purges them.
package: build
	cd $(BUILD) && cpack -G DEB
package-check: package
	./tools/check-package.sh $(BUILD)

# The core libraries, talvex-cli and the Win32 window talvex.exe cross-built
# for Windows, with the checks of the Win32 backends that wine-check runs.
windows: deps
	cmake --preset windows $(WERROR_ARG) $(CMAKE_ARGS)
	cmake --build build-windows -j $(JOBS)

# TALVEX-<version>-setup.exe in build-windows/, made with NSIS: the programs,
# zelchip.ini, sample.hex and the help pages into Program Files\TALVEX.
windows-installer: windows
	./tools/windows/make-installer.sh build-windows

# The Windows talvex-cli.exe under Wine against the native zarq-sim, then the
# setup program: a silent install into a fresh Wine prefix, a flash with the
# installed program, and a silent uninstall.
wine-check: build windows-installer
	./tools/wine-check.sh $(BUILD) build-windows
	./tools/installer-check.sh $(BUILD) build-windows

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: asan-build
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --output-on-failure -j $(JOBS)

# The tests of the worker, talvex-cli and the gang under ThreadSanitizer, and
# the talvex-cli and zarq-sim they start built with it too; the first race
# fails the run.
tsan: tsan-build
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	    ctest --output-on-failure -j $(JOBS)

# bugprone, performance and concurrency checks and the size of functions
# (.clang-tidy) over the project's own sources, with the compile commands of
# the build. Any finding fails. The tests are left out: they would double the
# time and their findings are about test code.
TIDY_DIRS = app|base|serial|engine|db|cli|sim|ui|bench
tidy: deps $(BUILD)/build.ninja
	run-clang-tidy -p $(BUILD) -j $(JOBS) -quiet '^$(CURDIR)/($(TIDY_DIRS))/'

# libFuzzer targets, each run for a short time.
FUZZ_SECONDS ?= 20
fuzz: fuzz-build
	./tools/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# The builds alone, so that CI can build them while the soak runs.
asan-build tsan-build fuzz-build: %-build: deps
	cmake --preset $* $(WERROR_ARG) $(CMAKE_ARGS)
	cmake --build build-$* -j $(JOBS)

# The line database's figure needs a server: a throw-away one on a Unix
# socket, removed afterwards whatever the bench's outcome.
BENCH_PG = /tmp/talvex-bench-pg
bench: build
	tools/pg-cluster.sh new $(BENCH_PG)
	$(BUILD)/bench/talvex-bench --out bench/results.json \
	    --db "host=$(BENCH_PG) dbname=postgres user=talvex"; \
	  status=$$?; tools/pg-cluster.sh remove $(BENCH_PG); exit $$status

# The sources in the project's style (.clang-format); format-check changes
# nothing and fails on the first file that differs.
format: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

# 300 downloads against targets that answer late, with jitter, while
# SOAK_BUSY busy loops load the machine, then 300 with a random fault each. No
# run starts after 8 minutes, so that CI's 10 minutes hold on a slow machine.
# CI gives SOAK_BUSY=0: its own builds load the machine meanwhile.
SOAK_BUSY ?= 2
soak: build
	TALVEX_SOAK_RUNS=300 TALVEX_SOAK_SECONDS=480 TALVEX_SOAK_BUSY=$(SOAK_BUSY) \
	    $(BUILD)/tests/talvex-soak-tests
