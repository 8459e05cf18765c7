# The commands people type.  Everything builds under build/.
BUILD := build
NATIVE := $(BUILD)/native
ASAN := $(BUILD)/asan
DEMO := $(BUILD)/demo
WINDOWS := $(BUILD)/windows
WINDOWS32 := $(BUILD)/windows32
RELEASE := $(BUILD)/release
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# `make install`: where, and a staging root for packagers.
PREFIX ?= /usr/local
DESTDIR ?=

# Sanitizer reports fail the run; leaks count too.
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
                 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all deps deps-native native native-command asan windows windows32 windows32-program test test-native \
        test-asan test-windows test-windows32 test-gui test-release check-windows-builds gui demo install package \
        release bench fuzz clean

all: native

# Everything, Windows tool chain included; deps-native: the native build's
# packages alone, all that the command line needs.
deps:
	@tools/install-deps.sh
deps-native:
	@tools/install-deps.sh native

# The builds `make test` runs treat warnings as errors.
WERROR := -DKARVELO_WERROR=ON
CONFIGURE_NATIVE := cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR) >/dev/null

native:
	$(CONFIGURE_NATIVE)
	cmake --build $(NATIVE) -j$(JOBS)

# The command, its manual pages and its help's translations alone, without
# the tests and benchmarks.
native-command:
	$(CONFIGURE_NATIVE)
	cmake --build $(NATIVE) -j$(JOBS) --target karvelo karvelo_help

asan:
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DKARVELO_SANITIZE=ON -DKARVELO_BENCH=OFF $(WERROR) >/dev/null
	cmake --build $(ASAN) -j$(JOBS)

test-native: native
	cd $(NATIVE) && ctest --output-on-failure -j$(JOBS)

test-asan: asan
	cd $(ASAN) && $(SANITIZER_ENV) ctest --output-on-failure -j$(JOBS)

# The Windows cross builds (mingw-w64, static), each with PCRE2, nghttp2 and
# SQLite built once from Debian's pcre2, nghttp2 and sqlite3 source packages
# into its pcre2, nghttp2 and sqlite folders: x86-64, the Karvelo.exe
# sellers take and every Windows test runs, and i686, for the few 32-bit
# systems left.
windows: deps
	tools/build-pcre2-windows.sh $(WINDOWS)/pcre2 x86_64-w64-mingw32
	tools/build-nghttp2-windows.sh $(WINDOWS)/nghttp2 x86_64-w64-mingw32
	tools/build-sqlite-windows.sh $(WINDOWS)/sqlite x86_64-w64-mingw32
	cmake -S . -B $(WINDOWS) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake \
	  -DPCRE2_ROOT=$(CURDIR)/$(WINDOWS)/pcre2 -DNGHTTP2_ROOT=$(CURDIR)/$(WINDOWS)/nghttp2 \
	  -DSQLITE3_ROOT=$(CURDIR)/$(WINDOWS)/sqlite \
	  -DCMAKE_BUILD_TYPE=Release -DKARVELO_BENCH=OFF $(WERROR) >/dev/null
	cmake --build $(WINDOWS) -j$(JOBS)

CONFIGURE_WINDOWS32 := tools/build-pcre2-windows.sh $(WINDOWS32)/pcre2 i686-w64-mingw32 && \
	tools/build-nghttp2-windows.sh $(WINDOWS32)/nghttp2 i686-w64-mingw32 && \
	tools/build-sqlite-windows.sh $(WINDOWS32)/sqlite i686-w64-mingw32 && \
	cmake -S . -B $(WINDOWS32) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
	  -DPCRE2_ROOT=$(CURDIR)/$(WINDOWS32)/pcre2 -DNGHTTP2_ROOT=$(CURDIR)/$(WINDOWS32)/nghttp2 \
	  -DSQLITE3_ROOT=$(CURDIR)/$(WINDOWS32)/sqlite \
	  -DCMAKE_BUILD_TYPE=Release -DKARVELO_BENCH=OFF $(WERROR) >/dev/null
windows32: deps
	$(CONFIGURE_WINDOWS32)
	cmake --build $(WINDOWS32) -j$(JOBS)
# The 32-bit Karvelo.exe alone (for the release and the build check).
windows32-program: deps
	$(CONFIGURE_WINDOWS32)
	cmake --build $(WINDOWS32) -j$(JOBS) --target Karvelo

# Both Karvelo.exe are what they claim: PE machine, large-address-aware
# only where asked for, the manifest's processor.
check-windows-builds: windows windows32-program
	python3 tools/check-windows-build.py $(WINDOWS)/Karvelo.exe x86_64
	python3 tools/check-windows-build.py $(WINDOWS32)/Karvelo.exe i686

# The core's tests as a Windows program under 64-bit Wine
# (tools/wine-run.sh: a prefix in the build folder, code page 936), beside
# the TLS servers the TLS tests talk to (tools/tls-test-peers.sh).
test-windows: windows
	tools/wine-run.sh $(WINDOWS)/wineprefix --init
	tools/tls-test-peers.sh sh -c 'cd $(WINDOWS) && ctest --output-on-failure -j$(JOBS)'

# The same for the i686 build under 32-bit Wine, where the machine starts a
# 32-bit program; elsewhere it says so and does nothing.
test-windows32:
	@if tools/can-run-32bit.sh; then \
	  $(MAKE) windows32 && \
	  KARVELO_WINE_ARCH=win32 tools/wine-run.sh $(WINDOWS32)/wineprefix --init && \
	  KARVELO_WINE_ARCH=win32 tools/tls-test-peers.sh sh -c 'cd $(WINDOWS32) && ctest --output-on-failure -j$(JOBS)'; \
	else \
	  echo "i686 build's tests: skipped, this machine cannot start 32-bit programs (its kernel's 32-bit emulation is off)"; \
	fi

# The Win32 program driven from outside under Wine on a virtual X screen
# (Xvfb).  Four runs of the driver, each in a Wine prefix of its own made
# afresh: the two tests that show the program in a Wine virtual desktop run
# apart from the rest and from each other, because after a virtual desktop
# session the later tests were seen finding the prefix's COM classes gone
# (the shell link, the image codecs).  The last run repeats, on a Western
# system code page (1252, GUI_WESTERN_LOCALE), the tests whose outcome
# depends on it: the window's texts and a run between folders with Chinese
# names.  Each run's Wine server is ended before and after it.  The runs
# have the TLS test peers beside them for the wizard's https image
# (tools/tls-test-peers.sh).
GUI_SCREEN := 1024x768x24
# A run that hangs is ended after this many seconds and run again, saying
# so, up to three attempts; a third hang, like any failure, fails the suite.
# The hang once seen in about one run of five: Wine starts the driver's
# remote threads by signalling a thread of Karvelo.exe that is not waiting,
# and a main thread caught inside malloc deadlocked in the handler.  The
# driver now waits for the program to be idle first, and the probe keeps a
# thread waiting (tests/win/probe/probe.cpp); the retries stay as a net.
# A whole run takes about two minutes.
GUI_RUN_LIMIT := 480
GUI_PREFIX := $(CURDIR)/$(WINDOWS)/guiprefix
GUI_WESTERN_LOCALE := en_US.UTF-8
GUI_RUNS := main:-WizardTest.PageTwo*:Screenshot.*:ReleaseTest.* page1:Screenshot.* page2:WizardTest.PageTwo* \
            western:MainWindowTest.*:WizardTest.ChineseFolders*
test-gui: windows
	@status=0; for run in $(GUI_RUNS); do \
	  name=$${run%%:*}; filter=$${run#*:}; prefix=$(GUI_PREFIX)-$$name; \
	  KARVELO_WINE_LOCALE=zh_CN.UTF-8; [ "$$name" = western ] && KARVELO_WINE_LOCALE=$(GUI_WESTERN_LOCALE); \
	  export KARVELO_WINE_LOCALE; \
	  for attempt in 1 2 3; do \
	    echo "GUI tests ($$name, $$KARVELO_WINE_LOCALE): $$filter"; \
	    tools/wine-run.sh $$prefix --kill; rm -rf $$prefix $$prefix.lock; \
	    tools/wine-run.sh $$prefix --init; tools/wine-run.sh $$prefix --kill; \
	    result=0; \
	    (cd $(WINDOWS) && timeout --kill-after=30 $(GUI_RUN_LIMIT) ../../tools/tls-test-peers.sh xvfb-run -a -s "-screen 0 $(GUI_SCREEN)" \
	      ../../tools/wine-run.sh $$prefix karvelo_gui_tests.exe --gtest_filter="$$filter") || result=$$?; \
	    tools/wine-run.sh $$prefix --kill; \
	    [ $$result = 124 ] || [ $$result = 137 ] || break; \
	    echo "GUI tests ($$name): HUNG after $(GUI_RUN_LIMIT) s (attempt $$attempt)" >&2; \
	  done; \
	  [ $$result = 0 ] || status=1; \
	done; exit $$status

# Karvelo.exe for a person at a display, in a Wine virtual desktop.
gui: windows
	cd $(WINDOWS) && ../../tools/wine-run.sh wineprefix explorer /desktop=Karvelo,1024x768 Karvelo.exe

# The whole suite twice: a normal build, then ASan + UBSan; then the core's
# tests once more as a Windows program (x86-64, and i686 where it can run),
# the builds' check, the Win32 program's GUI tests and the release.  Each
# suite's time is printed as it ends.
TIMED := tools/timed.sh
test: deps
	@$(TIMED) "native tests" $(MAKE) --no-print-directory test-native
	@$(TIMED) "ASan+UBSan tests" $(MAKE) --no-print-directory test-asan
	@$(TIMED) "Windows x86-64 core tests" $(MAKE) --no-print-directory test-windows
	@$(TIMED) "Windows i686 core tests" $(MAKE) --no-print-directory test-windows32
	@$(TIMED) "Windows builds' check" $(MAKE) --no-print-directory check-windows-builds
	@$(TIMED) "GUI tests" $(MAKE) --no-print-directory test-gui
	@$(TIMED) "release" $(MAKE) --no-print-directory test-release

# Only what building and running karvelo needs, built quietly in a tree of
# its own (no tests, so no GoogleTest); what shows is the demo.  The build's
# output is shown only when it fails.
demo:
	@tools/install-deps.sh demo
	@cmake -S . -B $(DEMO) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARVELO_TESTS=OFF -DKARVELO_BENCH=OFF >/dev/null
	@cmake --build $(DEMO) -j$(JOBS) --target karvelo karvelo_help >$(DEMO)/build.log 2>&1 || { cat $(DEMO)/build.log; exit 1; }
	@$(DEMO)/karvelo demo

# bin/karvelo and share/man/man1/karvelo.1.gz under $(DESTDIR)$(PREFIX).
install: native-command
	DESTDIR="$(DESTDIR)" cmake --install $(NATIVE) --prefix "$(PREFIX)"

# The Debian package of the command line (CPack):
# $(NATIVE)/karvelo_<version>-1_<architecture>.deb, for `apt install ./...`.
package: deps-native native-command
	cd $(NATIVE) && cpack -G DEB

# The downloads sellers take: build/release/Karvelo-<version>-win64.zip and
# -win32.zip, each with Karvelo.exe, 使用说明.txt and the licences.
release: windows windows32-program
	python3 tools/make-release.py $(RELEASE) $(WINDOWS)/Karvelo.exe $(WINDOWS32)/Karvelo.exe

# The release's zips hold exactly what they should, and the Karvelo.exe
# unpacked from each starts and shows its window (the 32-bit one where the
# machine can start it).
test-release: release
	tools/release-test.sh $(RELEASE) $(WINDOWS) $(WINDOWS32)

bench: deps-native native
	$(NATIVE)/karvelo_bench

fuzz: deps-native
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKARVELO_FUZZ=ON -DKARVELO_TESTS=OFF -DKARVELO_BENCH=OFF >/dev/null
	cmake --build $(BUILD)/fuzz -j$(JOBS)

clean:
	rm -rf $(BUILD)
