# One command builds and tests everything: `make test`.
PYTHON ?= python3
JOBS ?= 2

.PHONY: test bootstrap cpp-test asan-test py-install py-test bench example clean

test: bootstrap cpp-test asan-test py-install py-test

bootstrap:
	bash scripts/bootstrap.sh

build/cpp/build.ninja:
	cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBRIK_BUILD_PYTHON=OFF

cpp-test: build/cpp/build.ninja
	cmake --build build/cpp -j $(JOBS)
	cd build/cpp && ctest --output-on-failure -j $(JOBS)

build/asan/build.ninja:
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DAMBRIK_BUILD_PYTHON=OFF -DAMBRIK_SANITIZE=ON

asan-test: build/asan/build.ninja
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

py-install:
	$(PYTHON) -m pip install -q --no-build-isolation --no-deps .
	$(PYTHON) scripts/check_abi3.py

py-test:
	$(PYTHON) -m pytest -q -p no:cacheprovider tests/python

example: bootstrap py-install
	$(PYTHON) examples/quickstart.py

bench: py-install
	$(PYTHON) bench/compare.py

clean:
	rm -rf build
