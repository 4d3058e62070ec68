# `make demo` and `make test` set everything up on a fresh machine (Python 3.11 with venv).
PYTHON ?= python3
VENV ?= .venv-test
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
# Development builds of the extension modules, written into src/ (gitignored).
BUILD ?= build/dev

.PHONY: test demo install native bench lint clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

install: $(PY)
	$(PIP) install --quiet ".[test]"

test: install
	$(PY) -m pytest; rc=$$?; \
	  if [ $$rc -eq 5 ]; then echo "no tests collected"; exit 0; fi; exit $$rc

demo: install
	$(VENV)/bin/qorva demo

native:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORVA_INPLACE=ON \
	  -DSKBUILD_PROJECT_NAME=qorva -DSKBUILD_PROJECT_VERSION=0.1.0 \
	  -Dpybind11_DIR="$$(.venv/bin/python -m pybind11 --cmakedir)" -DPython_EXECUTABLE="$$(pwd)/.venv/bin/python" >/dev/null
	cmake --build $(BUILD) $(if $(TARGET),--target $(TARGET),)

bench: install
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

lint:
	.venv/bin/ruff check src tests bench

clean:
	rm -rf build $(VENV) src/qorva/**/*.so
