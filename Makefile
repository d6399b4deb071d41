# Entry points. `make test` and `make demo` work as the first command on a
# fresh Debian 12 machine: they install what is missing first.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build test demo try clean windows wine-check asan fuzz bench soak \
        install package package-check format format-check

all: build

deps:
	@./tools/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

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
	rm -rf $(BUILD) build-windows build-asan build-fuzz

# One program folder PREFIX/lib/talvex with links in PREFIX/bin, the desktop
# entry, icons and man pages under PREFIX/share. DESTDIR stages it elsewhere.
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package of that layout in $(BUILD)/, and its check with lintian
# and desktop-file-validate.
package: build
	cd $(BUILD) && cpack -G DEB
package-check: package
	./tools/check-package.sh $(BUILD)

# The core libraries, talvex-cli and the Win32 window talvex.exe cross-built
# for Windows, with the checks of the Win32 backends that wine-check runs.
windows: deps
	cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	    -DTALVEX_COMPONENTS="base;app;serial;engine;cli;ui-win32;tests" \
	    $(CMAKE_ARGS)
	cmake --build build-windows -j $(JOBS)

# The Windows talvex-cli.exe under Wine against the native zarq-sim.
wine-check: build windows
	./tools/wine-check.sh $(BUILD) build-windows

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALVEX_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --output-on-failure -j $(JOBS)

# libFuzzer targets, each run for a short time.
FUZZ_SECONDS ?= 20
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DTALVEX_FUZZ=ON -DTALVEX_COMPONENTS="base;app;serial;engine;tests"
	cmake --build build-fuzz -j $(JOBS)
	./tools/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

bench: build
	$(BUILD)/bench/talvex-bench --out bench/results.json

# The sources in the project's style (.clang-format); format-check changes
# nothing and fails on the first file that differs.
format: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check: deps
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

# 300 downloads against targets that answer late, with jitter, while two
# busy loops load the machine, then 300 with a random fault each. No run
# starts after 8 minutes, so that CI's 10 minutes hold on a slow machine.
soak: build
	TALVEX_SOAK_RUNS=300 TALVEX_SOAK_SECONDS=480 TALVEX_SOAK_BUSY=2 \
	    $(BUILD)/tests/talvex-soak-tests
