# The two commands a newcomer needs:
#   make run    set up, build and start the server (headless when there is no display)
#   make test   set up, build and run the whole test suite
BUILD      ?= build
HOME_DIR   ?= $(CURDIR)/run-home
NAME       ?=
# Folders to share (several, separated by blanks); by default the sample library that
# scripts/setup makes.
SHARE      ?= $(CURDIR)/sample-media
RUN_ARGS   ?=
JOBS       ?= 2

.PHONY: all setup build run test package screenshots test-sanitize coverage fuzz bench clean format

all: build

setup:
	@scripts/setup

build: setup
	@scripts/build $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

run: build
	@mkdir -p $(HOME_DIR)
	@headless=; if [ -z "$$DISPLAY$$WAYLAND_DISPLAY" ]; then headless=--headless; fi; \
	  exec $(BUILD)/app/mirelle --home $(HOME_DIR) $$headless $(if $(NAME),--name "$(NAME)") \
	    $(foreach dir,$(SHARE),--share "$(dir)") $(RUN_ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	@scripts/test-ratio

# The Debian package of the server, written into $(BUILD)/ (see dist/).
package: build
	cd $(BUILD) && cpack -G DEB

# Every tab of the window in English and German, drawn offscreen into docs/screenshots/,
# sharing a fresh sample library.
screenshots: build
	@media=$$(mktemp -d /tmp/orvex-XXXXXX) && scripts/make-sample-library $$media/Media >/dev/null \
	  && mkdir -p docs/screenshots \
	  && $(BUILD)/gui/orvex_screenshots docs/screenshots $$media/Media gui/lang.conf; \
	  status=$$?; rm -rf $$media; exit $$status

test-sanitize: setup
	@scripts/build $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE=ON -DORVEX_GUI=OFF
	cd $(BUILD)-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

# Line and branch coverage of the production code over the whole suite, namespace tests
# included; the summary is printed and the full table written to $(BUILD)-coverage/coverage.txt.
coverage: setup
	@scripts/build $(BUILD)-coverage -DCMAKE_BUILD_TYPE=Debug -DORVEX_COVERAGE=ON -DORVEX_WERROR=OFF
	find $(BUILD)-coverage -name '*.gcda' -delete
	-cd $(BUILD)-coverage && ctest -j$(JOBS)
	gcovr -r $(CURDIR) $(BUILD)-coverage --exclude-unreachable-branches --exclude-throw-branches \
	  -e '.*_test\.cpp' -e '.*/testing/.*' -e '.*/fuzz/.*' -e '.*test_support.*' \
	  -e 'bench/.*' -e 'build[^/]*/.*' --print-summary -o $(BUILD)-coverage/coverage.txt

FUZZ_SECONDS ?= 60
fuzz: setup
	@NINJA_TARGETS=fuzzers CC=clang CXX=clang++ scripts/build $(BUILD)-fuzz \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEX_FUZZ=ON -DORVEX_GUI=OFF -DORVEX_WERROR=OFF
	scripts/run-fuzzers $(BUILD)-fuzz $(FUZZ_SECONDS)

bench: build
	@for b in bench/*/run; do echo "== $$b"; $$b $(BUILD) || exit 1; done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(BUILD)-fuzz $(BUILD)-coverage
