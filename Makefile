# make run   - build harrow and harrow-cli, then open the window on a small sample FAT volume,
#              scanned, its deleted files shown; without a display, recover its deleted files into
#              ./recovered
# make test  - build, then run the suite, and once more under AddressSanitizer + UBSan
# make fuzz  - build the libFuzzer targets with clang and run each for FUZZ_SECONDS
# make bench - compare harrow-cli with its peers and with reading the image
# make package - a .deb for Debian 12 into build-package/ (the programs installed under /usr)
# make screenshots - pictures of every window, in both languages, into build/screenshots/
# Each target installs what is missing first (scripts/install-deps.sh).

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
PACKAGE_BUILD ?= build-package
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
# CI builds treat warnings as errors.
WERROR     := $(if $(CI),ON,OFF)

CMAKE_FLAGS = -G Ninja -DHARROW_WERROR=$(WERROR)

.PHONY: all deps configure build asan-build test run fuzz bench package screenshots clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

asan-build: deps
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DHARROW_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build asan-build
	@echo "== tests"
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Only the programs it starts: the test programs would take as long again on a first build.
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target harrow-cli \
		$$(grep -q '^HARROW_GUI:BOOL=ON' $(BUILD)/CMakeCache.txt && echo harrow)
	@if [ -n "$${DISPLAY}$${WAYLAND_DISPLAY}" ] && [ -x $(BUILD)/harrow ]; then \
		bash tests/fixtures/make_fat_fixtures.sh build/sample >/dev/null && \
		echo "== harrow build/sample/sample.img (deleted entries begin with #)" && \
		$(BUILD)/harrow --no-splash build/sample/sample.img; \
	else \
		bash scripts/demo.sh $(BUILD)/harrow-cli; \
	fi

fuzz:
	@bash scripts/install-deps.sh fuzz
	@cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DHARROW_FUZZ=ON -DHARROW_TESTS=OFF -DHARROW_GUI=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@bash fuzz/run.sh $(FUZZ_BUILD)/fuzz $(FUZZ_SECONDS)

# Without the tests: a package needs none of their build steps.
package: deps
	@cmake -S . -B $(PACKAGE_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
		-DHARROW_TESTS=OFF -DHARROW_GUI=ON >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	@cd $(PACKAGE_BUILD) && cpack -G DEB
	@ls $(PACKAGE_BUILD)/*.deb

# Pictures of every window, in Chinese and in English, into $(BUILD)/screenshots/.
screenshots: build
	@rm -rf $(BUILD)/screenshots
	@QT_QPA_PLATFORM=offscreen $(BUILD)/tests/ui/harrow_screenshots $(BUILD)/screenshots \
		tests/fixtures/ntfs-samples/ntfs-lastaccess.raw.gz $(BUILD)/harrowd

bench: build
	@bash scripts/install-deps.sh bench
	@bash bench/run.sh $(BUILD)/harrow-cli

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD)
