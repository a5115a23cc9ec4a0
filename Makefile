# Front door. Every target first installs what is missing (tools/setup.sh).
JOBS ?= $(shell nproc)

.PHONY: all setup native demo test windows clean format

all: native

setup:
	@./tools/setup.sh

native: setup
	@cmake --preset native >/dev/null
	@cmake --build --preset native -j $(JOBS)

# Only the simulation and what it links: the demo needs no test.
demo: setup
	@cmake --preset native >/dev/null
	@cmake --build --preset native -j $(JOBS) --target chronel-sim
	@./tools/demo.sh

test: native windows
	@./tools/test.sh

windows: setup
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32 -j $(JOBS)
	@cmake --preset win64 >/dev/null
	@cmake --build --preset win64 -j $(JOBS)
	@./tools/dist.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build dist
