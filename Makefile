# Top-level entry points: `make example`, `make example-experiment` and
# `make test` install what is missing, build what they need, and run.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# `make install PREFIX=/opt/kestrove`; CMake's default prefix otherwise.
PREFIX ?=

INSTALLED_TARGETS = kestrove kestrove-merge kestrove-cluster simulate usage-text

.PHONY: all deps build test example example-experiment install deb clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

example: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target kestrove
	@bash scripts/run-example.sh $(BUILD)

example-experiment: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target kestrove kestrove-merge simulate
	@bash scripts/example-experiment.sh $(BUILD) $(JOBS)

install: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(INSTALLED_TARGETS)
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package of what `make install` installs, under /usr: $(BUILD)/kestrove_*.deb
deb: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target $(INSTALLED_TARGETS)
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
