# make test: installs what is missing, builds both architectures, runs every test under Wine.
# make run: the counters published and read back through the platform's performance library.
# make soak: the long load runs.
.PHONY: all deps build test run soak clean

all: build

deps:
	@scripts/deps

build: deps
	@scripts/build

test: build
	@scripts/test

run: build
	@scripts/run

soak: build
	@scripts/soak

clean:
	rm -rf build dist
