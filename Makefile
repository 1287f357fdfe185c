# The two commands of README.md: `make run` and `make test`. Each installs what is missing first.
.PHONY: deps build run package test test-asan test-tsan test-sanitize fuzz-build fuzz format \
	format-check lint clean

# `make fuzz` runs every fuzz target for FUZZ_SECONDS or FUZZ_RUNS executions each, whichever
# comes first; what it finds new goes to build/fuzz/corpus/<target>, a crashing input to
# build/fuzz/crash-*. A full campaign: make fuzz FUZZ_SECONDS=600
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?= 10000000
FUZZ_TARGETS := fuzz_incoming_stream fuzz_outgoing_stream fuzz_packet_stream \
	fuzz_decompress_block fuzz_decode_thread fuzz_pass_phrase fuzz_ini_file fuzz_cp932 \
	fuzz_ack_reader fuzz_received_file_name fuzz_tls_detect

deps:
	bash scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default

run: build
	./build/default/src/app/Voxilen

# The Debian package of the default build: build/default/voxilen_<version>_<arch>.deb, to be
# installed with `apt install ./build/default/voxilen_*.deb`.
package: build
	cd build/default && cpack -G DEB

# The default build's suite, then each fuzz target briefly over its seed corpus (a second,
# clang build of the libraries and the fuzz targets only).
test: build fuzz-build
	ctest --preset default
	ctest --preset fuzz

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

test-sanitize: test-asan test-tsan

fuzz-build: deps
	cmake --preset fuzz
	cmake --build --preset fuzz

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t; \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  ./build/fuzz/tests/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -runs=$(FUZZ_RUNS) -print_final_stats=1 \
	    -artifact_prefix=build/fuzz/ build/fuzz/corpus/$$t tests/fuzz/corpus/$$t || exit 1; \
	done

format:
	find src tests bench -name '*.cpp' -o -name '*.h' | xargs -r clang-format -i

# Fails when a source file differs from what `make format` would make of it.
format-check: deps
	find src tests bench \( -name '*.cpp' -o -name '*.h' \) -print0 | \
	  xargs -0 -r clang-format --dry-run -Werror

# clang-tidy with .clang-tidy over every .cpp under src/, two at a time, with the default
# build's compile commands; fails on any finding. Only the sources themselves: the moc's output
# lies in the build folder. Clang is told to pass over warning options only GCC knows.
lint: build
	find src -name '*.cpp' -print0 | sort -z | xargs -0 -r -n 1 -P 2 \
	  clang-tidy -p build/default --quiet --extra-arg=-Wno-unknown-warning-option

clean:
	rm -rf build
