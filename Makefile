# The two commands of the README, plus helpers. Each installs what it needs and builds from scratch.
.PHONY: test demo bench fuzz soak format tidy

test:
	bash scripts/test.sh

demo:
	bash scripts/demo.sh

bench:
	bash scripts/bench.sh

# Each fuzzer for FUZZ_SECONDS (default ten minutes), continuing from the corpus of earlier runs.
FUZZ_SECONDS ?= 600
fuzz:
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

# Two minutes of many threads against a server that keeps restarting, under each sanitizer in turn.
SOAK_SECONDS ?= 120
soak:
	bash scripts/soak.sh $(SOAK_SECONDS)

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp' '*.c')

tidy:
	cmake -S . -B build/tidy -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	clang-tidy -p build/tidy $$(git ls-files 'src/*.cpp')
