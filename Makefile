# Entry points; each installs whatever is missing first.
.PHONY: demo test bench fuzz build clean

demo:
	./scripts/demo.sh

test:
	./scripts/test.sh

bench:
	./scripts/bench.sh

fuzz:
	./scripts/fuzz.sh

build:
	bash -c 'source scripts/common.sh && install_deps && build_windows'

clean:
	rm -rf build build-native
