# The commands people type.  Everything builds under build/.
BUILD := build
NATIVE := $(BUILD)/native
ASAN := $(BUILD)/asan
WINDOWS := $(BUILD)/windows
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# `make install`: where, and a staging root for packagers.
PREFIX ?= /usr/local
DESTDIR ?=

# Sanitizer reports fail the run; leaks count too.
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
                 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all deps deps-native native native-command asan windows test test-native test-asan test-windows test-gui \
        gui demo install package bench fuzz clean

all: native

# Everything, Windows tool chain included; deps-native: the native build's
# packages alone, all that the command line needs.
deps:
	@tools/install-deps.sh
deps-native:
	@tools/install-deps.sh native

CONFIGURE_NATIVE := cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

native:
	$(CONFIGURE_NATIVE)
	cmake --build $(NATIVE) -j$(JOBS)

# The command and its manual page alone, without the tests and benchmarks.
native-command:
	$(CONFIGURE_NATIVE)
	cmake --build $(NATIVE) -j$(JOBS) --target karvelo karvelo_manual

asan:
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DKARVELO_SANITIZE=ON -DKARVELO_BENCH=OFF >/dev/null
	cmake --build $(ASAN) -j$(JOBS)

test-native: native
	cd $(NATIVE) && ctest --output-on-failure -j$(JOBS)

test-asan: asan
	cd $(ASAN) && $(SANITIZER_ENV) ctest --output-on-failure -j$(JOBS)

# The Windows cross build (mingw-w64, i686, static), with PCRE built once
# from Debian's pcre3 source package into $(WINDOWS)/pcre.
windows: deps
	tools/build-pcre-windows.sh $(WINDOWS)/pcre
	cmake -S . -B $(WINDOWS) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
	  -DPCRE_ROOT=$(CURDIR)/$(WINDOWS)/pcre -DCMAKE_BUILD_TYPE=Release -DKARVELO_BENCH=OFF >/dev/null
	cmake --build $(WINDOWS) -j$(JOBS)

# The core's tests as a Windows program under Wine (tools/wine-run.sh: a
# prefix in the build folder, code page 936), beside the TLS servers the
# TLS tests talk to (tools/tls-test-peers.sh).
test-windows: windows
	tools/wine-run.sh $(WINDOWS)/wineprefix --init
	tools/tls-test-peers.sh sh -c 'cd $(WINDOWS) && ctest --output-on-failure -j$(JOBS)'

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
# A run that hangs (a program under test that stops answering, a Wine
# server stuck under load, seen once) is ended after this many seconds and
# run once more, saying so; a second hang, like any failure, fails the suite.
GUI_RUN_LIMIT := 900
GUI_PREFIX := $(CURDIR)/$(WINDOWS)/guiprefix
GUI_WESTERN_LOCALE := en_US.UTF-8
GUI_RUNS := main:-WizardTest.PageTwo*:Screenshot.* page1:Screenshot.* page2:WizardTest.PageTwo* \
            western:MainWindowTest.*:WizardTest.ChineseFolders*
test-gui: windows
	@status=0; for run in $(GUI_RUNS); do \
	  name=$${run%%:*}; filter=$${run#*:}; prefix=$(GUI_PREFIX)-$$name; \
	  KARVELO_WINE_LOCALE=zh_CN.UTF-8; [ "$$name" = western ] && KARVELO_WINE_LOCALE=$(GUI_WESTERN_LOCALE); \
	  export KARVELO_WINE_LOCALE; \
	  for attempt in 1 2; do \
	    echo "GUI tests ($$name, $$KARVELO_WINE_LOCALE): $$filter"; \
	    WINEPREFIX=$$prefix wineserver -k 2>/dev/null; rm -rf $$prefix $$prefix.lock; \
	    tools/wine-run.sh $$prefix --init; WINEPREFIX=$$prefix wineserver -k 2>/dev/null; \
	    result=0; \
	    (cd $(WINDOWS) && timeout --kill-after=30 $(GUI_RUN_LIMIT) ../../tools/tls-test-peers.sh xvfb-run -a -s "-screen 0 $(GUI_SCREEN)" \
	      ../../tools/wine-run.sh $$prefix karvelo_gui_tests.exe --gtest_filter="$$filter") || result=$$?; \
	    WINEPREFIX=$$prefix wineserver -k 2>/dev/null; \
	    [ $$result = 124 ] || [ $$result = 137 ] || break; \
	    echo "GUI tests ($$name): HUNG after $(GUI_RUN_LIMIT) s (attempt $$attempt)" >&2; \
	  done; \
	  [ $$result = 0 ] || status=1; \
	done; exit $$status

# Karvelo.exe for a person at a display, in a Wine virtual desktop.
gui: windows
	cd $(WINDOWS) && ../../tools/wine-run.sh wineprefix explorer /desktop=Karvelo,1024x768 Karvelo.exe

# The whole suite twice: a normal build, then ASan + UBSan; then the core's
# tests once more as a Windows program.
test: deps
	$(MAKE) test-native
	$(MAKE) test-asan
	$(MAKE) test-windows
	$(MAKE) test-gui

demo: deps-native native-command
	$(NATIVE)/karvelo demo

# bin/karvelo and share/man/man1/karvelo.1.gz under $(DESTDIR)$(PREFIX).
install: native-command
	DESTDIR="$(DESTDIR)" cmake --install $(NATIVE) --prefix "$(PREFIX)"

# The Debian package of the command line (CPack):
# $(NATIVE)/karvelo_<version>-1_<architecture>.deb, for `apt install ./...`.
package: deps-native native-command
	cd $(NATIVE) && cpack -G DEB

bench: deps-native native
	$(NATIVE)/karvelo_bench

fuzz: deps-native
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKARVELO_FUZZ=ON -DKARVELO_TESTS=OFF -DKARVELO_BENCH=OFF >/dev/null
	cmake --build $(BUILD)/fuzz -j$(JOBS)

clean:
	rm -rf $(BUILD)
