# make test: installs what is missing, builds both architectures, runs every test under Wine.
.PHONY: all deps build test clean

all: build

deps:
	@scripts/deps

build: deps
	@scripts/build

test: build
	@scripts/test

clean:
	rm -rf build dist
