// Runs the fuzz target over the files it is given, so that the seed corpus
// and any input a fuzzer found are checked in the ordinary build as well.
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char *argv[])
{
	for (int i = 1; i < argc; ++i) {
		FILE *file = std::fopen(argv[i], "rb");
		if (file == nullptr) {
			std::perror(argv[i]);
			return 1;
		}
		std::vector<std::uint8_t> data;
		int c;
		while ((c = std::fgetc(file)) != EOF)
			data.push_back(static_cast<std::uint8_t>(c));
		std::fclose(file);
		LLVMFuzzerTestOneInput(data.data(), data.size());
	}
	std::printf("%d passed, 0 failed\n", argc - 1);
	return 0;
}
