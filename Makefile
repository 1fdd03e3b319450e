# Set-up and checks. Both targets create the virtual environment on first use.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests
GTEST_HEADER := /usr/include/gtest/gtest.h

.PHONY: demo test cpp-test install bench wheels clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(PY)
	$(PY) -m pip install --quiet '.[test]'

demo: $(PY)
	$(PY) -m pip install --quiet '.[check]'
	$(PY) examples/demo.py --png docs/demo-part.png

cpp-test:
	@if [ -f $(GTEST_HEADER) ]; then \
	  cmake -S . -B $(CPP_BUILD) -DQ_BUILD_MODULE=OFF -DQ_BUILD_CPP_TESTS=ON $(CPP_FLAGS) >/dev/null && \
	  cmake --build $(CPP_BUILD) -j2 && \
	  $(CPP_BUILD)/geometry_tests --gtest_brief=1; \
	else \
	  echo "GoogleTest not found ($(GTEST_HEADER)): skipping the C++ unit tests (apt-get install libgtest-dev)"; \
	fi

test: install cpp-test
	$(PY) -m pytest -q

bench: $(PY)
	$(PY) -m pip install --quiet '.[bench]'
	$(PY) benchmarks/bench_angles.py
	$(PY) benchmarks/bench_overhangs.py
	$(PY) benchmarks/bench_intersect.py

# manylinux_2_28 wheels for CPython 3.9 to 3.13 in dist/, each tested in a clean venv.
wheels:
	scripts/build_wheels.sh

clean:
	rm -rf build $(VENV)
