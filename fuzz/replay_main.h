// With -DQAX_FUZZ_REPLAY_MAIN a fuzz target is a plain executable that runs
// every file named on its command line through LLVMFuzzerTestOneInput once:
// the corpus replay that CI runs with any compiler.
#ifndef QAX_FUZZ_REPLAY_MAIN_H
#define QAX_FUZZ_REPLAY_MAIN_H

#ifdef QAX_FUZZ_REPLAY_MAIN
#include <stdint.h>
#include <stdio.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    int replayed = 0;
    for (int i = 1; i < argc; i++) {
        FILE *file = fopen(argv[i], "rb");
        if (file == nullptr) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> input;
        uint8_t buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
            input.insert(input.end(), buffer, buffer + n);
        fclose(file);
        LLVMFuzzerTestOneInput(input.data(), input.size());
        replayed++;
    }
    fprintf(stderr, "replayed %d inputs\n", replayed);
    return 0;
}
#endif

#endif
