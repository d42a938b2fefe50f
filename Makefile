# Entry points for a fresh Debian machine: `make demo` and `make test` install
# what is missing, configure, build, then run.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
PKG_BUILD  ?= build-pkg
PACKAGE_DIR ?= out/packages
BENCH_SIZE_MB ?= 1024
FUZZ_SECONDS ?= 180
FUZZ_TARGETS = fuzz_dump fuzz_read fuzz_reread fuzz_convert fuzz_converters fuzz_export
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

.PHONY: all deps configure build build-asan build-fuzz fuzz-seeds fuzz-smoke fuzz test test-normal test-asan demo install package bench clean

all: build

deps:
	@sh scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON $(CMAKE_ARGS)

$(FUZZ_BUILD)/build.ninja: | deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUARN_FUZZ=ON -DQUARN_BUILD_TESTS=OFF -DQUARN_BUILD_TOOLS=OFF $(CMAKE_ARGS)

configure: $(BUILD)/build.ninja

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

build-fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz-seeds: build-fuzz
	rm -rf $(FUZZ_BUILD)/seeds
	$(FUZZ_BUILD)/fuzz/quarn-fuzz-seeds $(FUZZ_BUILD)/seeds

# Each target briefly over its seeds: keeps them building and passing.
fuzz-smoke: fuzz-seeds
	@for t in $(FUZZ_TARGETS); do \
	  seeds=$(FUZZ_BUILD)/seeds/db; [ $$t = fuzz_convert ] && seeds=$(FUZZ_BUILD)/seeds/text; \
	  rm -rf $(FUZZ_BUILD)/smoke/$$t; mkdir -p $(FUZZ_BUILD)/smoke/$$t; \
	  echo "== $$t"; \
	  if ! $(FUZZ_BUILD)/fuzz/$$t -runs=3000 -max_len=65536 -dict=fuzz/quarn.dict \
	    $(FUZZ_BUILD)/smoke/$$t $$seeds fuzz/regressions/$$t > $(FUZZ_BUILD)/smoke/$$t.log 2>&1; then \
	    tail -n 40 $(FUZZ_BUILD)/smoke/$$t.log; exit 1; fi; \
	  tail -n 1 $(FUZZ_BUILD)/smoke/$$t.log; \
	done

# Each target for FUZZ_SECONDS (default 180), growing fuzz/corpus-run/.
fuzz: fuzz-seeds
	@for t in $(FUZZ_TARGETS); do \
	  seeds=$(FUZZ_BUILD)/seeds/db; [ $$t = fuzz_convert ] && seeds=$(FUZZ_BUILD)/seeds/text; \
	  mkdir -p fuzz/corpus-run/$$t; \
	  echo "== $$t for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -timeout=5 \
	    -rss_limit_mb=2048 -dict=fuzz/quarn.dict -print_final_stats=1 \
	    fuzz/corpus-run/$$t $$seeds fuzz/regressions/$$t || exit 1; \
	done

test: test-normal test-asan fuzz-smoke

# Release build of everything with the benchmark suite, the benchmark files
# made once into bench/data/ (BENCH_SIZE_MB, default 1024), then every job
# measured next to its baseline; bench/run.sh lists the other BENCH_* knobs.
bench: deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQUARN_BUILD_BENCH=ON -DQUARN_BUILD_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	BENCH_SIZE_MB=$(BENCH_SIZE_MB) sh bench/run.sh $(BENCH_BUILD)

# Builds only the quarn program (and the library it links).
demo: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target quarn
	@sh scripts/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD)

# The three Debian packages (libquarntools0, libquarntools-dev, quarn-tools)
# of a build installed under /usr, which puts the libraries in Debian's
# multiarch folder; written to PACKAGE_DIR (default out/packages).
package: deps
	cmake -S . -B $(PKG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_INSTALL_PREFIX=/usr -DQUARN_BUILD_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(PKG_BUILD) -j $(JOBS)
	rm -rf $(PKG_BUILD)/cpack $(PACKAGE_DIR)
	cpack --config $(PKG_BUILD)/CPackConfig.cmake -B $(CURDIR)/$(PKG_BUILD)/cpack
	mkdir -p $(PACKAGE_DIR)
	cp $(PKG_BUILD)/cpack/*.deb $(PACKAGE_DIR)/
	@echo "Packages in $(PACKAGE_DIR):"; ls -1 $(PACKAGE_DIR)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(PKG_BUILD) out
