# Entry points; each installs whatever is missing first.
.PHONY: demo test bench fuzz validate package reproduce build clean

demo:
	./scripts/demo.sh

test:
	./scripts/test.sh

bench:
	./scripts/bench.sh

fuzz:
	./scripts/fuzz.sh

# Outside hosts: the VST 3 SDK's validator on both builds, pluginval at level 10 and the
# SDK's editor host:  make validate VST3_SDK_ROOT=/path/to/vst3sdk PLUGINVAL_ROOT=/path/to/pluginval
validate:
	./scripts/validate.sh "$(VST3_SDK_ROOT)" "$(PLUGINVAL_ROOT)"

package:
	./scripts/package.sh

# Two builds of the checked-out commit in two folders give the same release.
reproduce:
	./scripts/reproduce.sh

build:
	bash -c 'source scripts/common.sh && install_deps && build_windows'

clean:
	rm -rf build build-native build-sdk build-address build-thread build-fuzz
