# make test: installs what is missing, builds both architectures, runs every test under Wine.
# make run: the counters published and read back through the platform's performance library.
.PHONY: all deps build test run clean

all: build

deps:
	@scripts/deps

build: deps
	@scripts/build

test: build
	@scripts/test

run: build
	@scripts/run

clean:
	rm -rf build dist
