# One command builds and tests everything: `make test`.
PYTHON ?= python3
JOBS ?= 2

.PHONY: test bootstrap bootstrap-build cpp-test asan-test py-install py-test typecheck wheel-check bench example clean

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

example: bootstrap-build py-install
	$(PYTHON) examples/quickstart.py

bench: py-install
	$(PYTHON) bench/compare.py

clean:
	rm -rf build
