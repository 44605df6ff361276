# One command builds and tests everything: `make test`.
PYTHON ?= python3
JOBS ?= 2

.PHONY: test bootstrap bootstrap-build cpp-test asan-test py-install py-test typecheck wheel-check bench example fuzz clean

test: bootstrap cpp-test asan-test py-install py-test typecheck wheel-check

bootstrap:
	bash scripts/bootstrap.sh

bootstrap-build:
	bash scripts/bootstrap.sh build

build/cpp/build.ninja:
	cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBRIK_BUILD_PYTHON=OFF -DAMBRIK_WERROR=ON -DAMBRIK_BUILD_BENCH=ON

cpp-test: build/cpp/build.ninja
	cmake --build build/cpp -j $(JOBS)
	cd build/cpp && ctest --output-on-failure -j $(JOBS)

build/asan/build.ninja:
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DAMBRIK_BUILD_PYTHON=OFF -DAMBRIK_SANITIZE=ON -DAMBRIK_WERROR=ON

asan-test: build/asan/build.ninja
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

py-install:
	$(PYTHON) -m pip install -q --no-build-isolation --no-deps .
	$(PYTHON) scripts/check_abi3.py

py-test:
	$(PYTHON) -m pytest -q -p no:cacheprovider tests/python

# mypy --strict on a typed program and on planted mistakes; stubtest against
# the installed module (run after py-install).
typecheck:
	$(PYTHON) scripts/check_typing.py

# The repaired manylinux wheel, installed into a fresh venv, runs on its own
# bundled libraries.
wheel-check:
	$(PYTHON) scripts/check_wheel.py

# Runs the example with the module the interpreter has (after `pip install .`
# nothing is built again); builds and installs it only when there is none.
# After changing the sources, `make py-install` first.
example:
	@$(PYTHON) -c "import ambrik._ambrik, ambrik._tools" 2>/dev/null || \
	  $(MAKE) --no-print-directory bootstrap-build py-install PYTHON="$(PYTHON)"
	$(PYTHON) examples/quickstart.py

bench: py-install
	$(PYTHON) bench/compare.py

# Coverage-guided fuzzing of database images (clang + libFuzzer); new inputs
# collect in build/fuzz/corpus, crashes in build/fuzz/.
FUZZ_SECONDS ?= 60
fuzz:
	@command -v clang++ >/dev/null && ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 || \
	  { export DEBIAN_FRONTEND=noninteractive; apt-get update -qq; apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; }
	cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DAMBRIK_BUILD_PYTHON=OFF -DAMBRIK_BUILD_TESTS=OFF -DAMBRIK_SANITIZE=ON -DAMBRIK_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS) --target fuzz_open_image
	mkdir -p build/fuzz/corpus
	cd build/fuzz && ./tests/fuzz/fuzz_open_image -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 \
	  -timeout=10 corpus ../../tests/fuzz/corpus

clean:
	rm -rf build
