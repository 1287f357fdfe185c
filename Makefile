# The two commands of README.md: `make run` and `make test`. Each installs what is missing first.
.PHONY: deps build run test test-asan test-tsan test-sanitize format clean

deps:
	bash scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default

run: build
	./build/default/src/app/Voxilen

test: build
	ctest --preset default

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

test-sanitize: test-asan test-tsan

format:
	find src tests bench -name '*.cpp' -o -name '*.h' | xargs -r clang-format -i

clean:
	rm -rf build
