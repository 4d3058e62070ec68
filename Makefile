# `make demo` and `make test` set everything up on a fresh machine (Python 3.11 with venv, a C++17 compiler).
PYTHON ?= python3
# The one virtual environment of every target; it imports the package from src/ through a .pth file.
VENV ?= .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
# One persistent build folder for every target, so a second build compiles only what changed.
BUILD ?= build/dev
BUILD_TYPE ?= Release
# Set up once per change of pyproject.toml (its dependencies are installed from it). The bench extras
# too: the quality bench's tests read photographs that ship inside scikit-learn and matplotlib.
READY := $(VENV)/.ready
# Name and version live in pyproject.toml alone.
PROJECT = $(shell $(PYTHON) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; \
                                print("-DSKBUILD_PROJECT_NAME=" + p["name"], "-DSKBUILD_PROJECT_VERSION=" + p["version"])')
REQUIREMENTS = $(shell $(PYTHON) -c 'import shlex, tomllib; p = tomllib.load(open("pyproject.toml", "rb")); \
                                 print(*map(shlex.quote, p["build-system"]["requires"] + p["project"]["dependencies"] \
                                                         + p["project"]["optional-dependencies"]["dev"] \
                                                         + p["project"]["optional-dependencies"]["bench"]))')

.PHONY: test demo dev native core-windows bench lint clean

$(READY): pyproject.toml
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	@echo "installing the dependencies into $(VENV)"
	$(PY) -m pip install --quiet $(REQUIREMENTS) cmake ninja
	$(PY) -c 'import pathlib, sysconfig; pathlib.Path(sysconfig.get_paths()["purelib"], "qorva-src.pth").write_text("$(CURDIR)/src\n")'
	@# The package is imported through the .pth file, never installed, so pip made no `qorva` command: this
	@# is the console script pip would write for [project.scripts] (an editable install would build the C++ twice).
	printf '#!%s\nimport sys\nfrom qorva.cli.__main__ import main\nsys.exit(main())\n' "$(CURDIR)/$(PY)" > $(VENV)/bin/qorva
	chmod +x $(VENV)/bin/qorva
	touch $@

dev: $(READY)

# The extension modules, written into src/ beside the Python package (gitignored), and the C++ core tests.
# Ninja prints one line per step while it builds, and nothing to do when nothing changed.
native: $(READY)
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQORVA_INPLACE=ON -DQORVA_NATIVE_TESTS=ON \
	  $(PROJECT) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" -DPython_EXECUTABLE="$(CURDIR)/$(PY)" >/dev/null
	$(CMAKE) --build $(BUILD) $(if $(TARGET),--target $(TARGET),)

# pytest's "no tests collected" (exit 5) fails like any other non-zero exit.
test: native
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure
	$(PY) -m pytest

demo: native
	$(PY) -m qorva demo
	@echo
	@echo "qorva is installed in $(VENV): run it as $(VENV)/bin/qorva, or first  . $(VENV)/bin/activate  and then qorva"

# The Python-free core built for 64-bit Windows with mingw-w64, its tests run under wine.
WIN_BUILD ?= build/windows
core-windows: $(READY)
	$(CMAKE) -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/tests/native/mingw-w64.cmake -DQORVA_CORE_ONLY=ON -DQORVA_NATIVE_TESTS=ON >/dev/null
	$(CMAKE) --build $(WIN_BUILD)
	$(VENV)/bin/ctest --test-dir $(WIN_BUILD) --output-on-failure

bench: native
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

lint: $(READY)
	$(VENV)/bin/ruff check src tests bench

clean:
	rm -rf build $(VENV)
	find src \( -name '*.so' -o -name '*.pyd' \) -delete
