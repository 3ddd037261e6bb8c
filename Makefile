# The two commands of the README, plus helpers. Each installs what it needs and builds from scratch.
.PHONY: test demo bench format tidy

test:
	bash scripts/test.sh

demo:
	bash scripts/demo.sh

bench:
	bash scripts/bench.sh

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp' '*.c')

tidy:
	cmake -S . -B build/tidy -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	clang-tidy -p build/tidy $$(git ls-files 'src/*.cpp')
