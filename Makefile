# The two entry points of the README, and the benchmarks. Each does its own
# set-up: missing Debian packages are installed, then CMake builds what is needed.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The JVM the library is built for (JAVA_HOME's, as CMake picks it), even
# where another JDK comes first on PATH.
JAVA ?= $(firstword $(if $(JAVA_HOME),$(JAVA_HOME)/bin/java) \
                    $(wildcard /usr/lib/jvm/java-17-openjdk-amd64/bin/java) java)

.PHONY: demo test bench deps build build-asan build-tsan package fuzz build-fuzz
.PHONY: test-one-jdk test-clang test-temurin test-arm64 test-windows test-fresh-debian test-ports deps-ports
MAKEFLAGS += --no-print-directory

deps:
	@scripts/install-deps

# The build's own chatter goes to a log, shown only when the build fails.
build: deps
	@echo "Building into $(BUILD)/ (log: $(BUILD)/build.log)"
	@mkdir -p $(BUILD)
	@{ cmake -S . -B $(BUILD) $(CMAKE_FLAGS) && cmake --build $(BUILD) -j$(JOBS); } \
	    >$(BUILD)/build.log 2>&1 || { cat $(BUILD)/build.log; exit 1; }

build-asan: deps
	@echo "Building with ASan and UBSan into $(ASAN_BUILD)/ (log: $(ASAN_BUILD)/build.log)"
	@mkdir -p $(ASAN_BUILD)
	@{ cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DZEV_SANITIZE=ON && \
	   cmake --build $(ASAN_BUILD) -j$(JOBS); } \
	    >$(ASAN_BUILD)/build.log 2>&1 || { cat $(ASAN_BUILD)/build.log; exit 1; }

# ThreadSanitizer cannot run a JVM: the library's objects and the in-process tests only.
build-tsan: deps
	@echo "Building the in-process tests with TSan into $(TSAN_BUILD)/ (log: $(TSAN_BUILD)/build.log)"
	@mkdir -p $(TSAN_BUILD)
	@{ cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DZEV_SANITIZE_THREAD=ON && \
	   cmake --build $(TSAN_BUILD) -j$(JOBS); } \
	    >$(TSAN_BUILD)/build.log 2>&1 || { cat $(TSAN_BUILD)/build.log; exit 1; }

# The main job: a recorder's life in a real JVM, end to end, under -Xcheck:jni.
# ARGS are zev-host options: ARGS=--no-recorder (a VM without the recorder
# interface) or ARGS=--disabled (a recorder disabled on the command line).
demo: build
	@$(BUILD)/demo/zevdemo $(ARGS)

# Every test, then again with the library and the host under ASan and UBSan,
# then the in-process cases under TSan.
test: build build-asan build-tsan
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) --output-on-failure -j$(JOBS)

# A Debian package of the install (library, header, jars, host, CMake package
# and zev.pc under /usr), in $(BUILD)/.
package: build
	@{ cmake --build $(BUILD) --target package; } >>$(BUILD)/build.log 2>&1 || \
	    { cat $(BUILD)/build.log; exit 1; }
	@ls $(BUILD)/*.deb

# One table of libzev against baselines measured in the same run (about two
# minutes on two cores); bench/RESULTS.md holds a recorded run.
# BENCH_ARGS=--quick makes every row smaller.
bench: deps
	@echo "Building the benchmarks into $(BUILD)/ (log: $(BUILD)/build.log)"
	@mkdir -p $(BUILD)
	@{ cmake -S . -B $(BUILD) $(CMAKE_FLAGS) && cmake --build $(BUILD) --target zevbench -j$(JOBS); } \
	    >$(BUILD)/build.log 2>&1 || { cat $(BUILD)/build.log; exit 1; }
	@$(JAVA) -cp $(BUILD)/bench/zevbench.jar zevbench.Driver $(BUILD) $(BENCH_ARGS)

# libFuzzer over every entry point, in process on the model of the VM's side
# (no JVM), with Debian's clang 14: each target for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
build-fuzz: deps
	@echo "Building the fuzz targets into $(FUZZ_BUILD)/ (log: $(FUZZ_BUILD)/build.log)"
	@mkdir -p $(FUZZ_BUILD)
	@{ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) -DZEV_FUZZ=ON -DCMAKE_C_COMPILER=clang-14 \
	     -DCMAKE_CXX_COMPILER=clang++-14 && \
	   cmake --build $(FUZZ_BUILD) --target fuzz_upcalls fuzz_started -j$(JOBS); } \
	    >$(FUZZ_BUILD)/build.log 2>&1 || { cat $(FUZZ_BUILD)/build.log; exit 1; }

fuzz: build-fuzz
	@tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Other compilers, JDKs and platforms; CI runs each (see the README's table).
# Each configures a build directory of its own.
deps-ports:
	@scripts/install-deps ports

# configure_and_build DIR, CMAKE ARGS...: the build's chatter to DIR/build.log.
configure_and_build = @echo "Building into $(1)/ (log: $(1)/build.log)"; mkdir -p $(1); \
	{ cmake -S . -B $(1) $(CMAKE_FLAGS) $(2) && cmake --build $(1) -j$(JOBS); } \
	    >$(1)/build.log 2>&1 || { cat $(1)/build.log; exit 1; }

# The whole suite built with Clang, warnings as errors as with GCC.
test-clang: deps-ports
	$(call configure_and_build,build-clang,-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)
	ctest --test-dir build-clang --output-on-failure -j$(JOBS)

# The suite on every other JDK of the machine (Temurin 25 where it is there).
TEMURIN_HOMES := $(wildcard /usr/lib/jvm/temurin-25*)
test-temurin: deps
	@$(if $(TEMURIN_HOMES),,echo "No /usr/lib/jvm/temurin-25*: nothing to run")
	$(foreach jdk,$(TEMURIN_HOMES),JAVA_HOME=$(jdk) $(MAKE) test-one-jdk JDK_BUILD=build-$(notdir $(jdk)) &&) true
test-one-jdk:
	$(call configure_and_build,$(JDK_BUILD),)
	ctest --test-dir $(JDK_BUILD) --output-on-failure -j$(JOBS)

# Linux on AArch64: cross-built with Debian's g++-aarch64-linux-gnu against an
# arm64 JDK unpacked into build-arm64/sysroot (the machine's JDK untouched),
# the in-process and real-JVM cases and the demo run under qemu-aarch64-static.
ARM64_ROOT = $(CURDIR)/build-arm64/sysroot
test-arm64: deps-ports
	@scripts/arm64-sysroot $(ARM64_ROOT)
	$(call configure_and_build,build-arm64,-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	    -DZEV_SYSROOT=$(ARM64_ROOT))
	ctest --test-dir build-arm64 --output-on-failure -j$(JOBS)

# Windows x64: the library alone cross-compiled with Debian's default
# mingw-w64 into zev.dll, its export and import tables checked, and
# installed into build-windows/install (bin/zev.dll).
test-windows: deps-ports
	$(call configure_and_build,build-windows,-DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake)
	ctest --test-dir build-windows --output-on-failure
	cmake --install build-windows --prefix build-windows/install >/dev/null
	@test -f build-windows/install/bin/zev.dll && echo "installed: build-windows/install/bin/zev.dll"

# The README's two commands in a fresh Debian 12 root (debootstrap minbase).
test-fresh-debian: deps-ports
	scripts/fresh-debian-check build-fresh/root

test-ports: test-clang test-temurin test-arm64 test-windows
