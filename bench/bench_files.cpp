#include "bench_files.h"

#include <stdio.h>
#include <sys/stat.h>

#include <vector>

namespace {

// xorshift64: fast, and the same sequence everywhere.
uint64_t Next(uint64_t *state)
{
    uint64_t x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return *state = x;
}

// Fills text with words of 1 to 8 letters, one space between words and a
// line end after about 70 characters: about one byte in six is a space.
void FillText(std::vector<char> *text, uint64_t *state, int *column)
{
    size_t i = 0;
    while (i < text->size()) {
        uint64_t r = Next(state);
        int letters = 1 + (int)(r & 7);
        for (int k = 0; k < letters && i < text->size(); k++)
            (*text)[i++] = (char)('a' + ((r >> (8 + 5 * k)) % 26));
        *column += letters + 1;
        if (*column >= 70) {
            if (i < text->size())
                (*text)[i++] = '\r';
            if (i < text->size())
                (*text)[i++] = '\n';
            *column = 0;
        } else if (i < text->size()) {
            (*text)[i++] = ' ';
        }
    }
}

} // namespace

bool MakeTextFile(const std::string &path, uint64_t size)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (uint64_t)st.st_size == size)
        return true;

    std::string partial = path + ".part";
    FILE *f = fopen(partial.c_str(), "wb");
    if (f == nullptr)
        return false;
    std::vector<char> chunk(1 << 20);
    uint64_t state = 0x9E3779B97F4A7C15ull ^ size;
    int column = 0;
    bool ok = true;
    for (uint64_t left = size; left > 0 && ok;) {
        size_t n = left < chunk.size() ? (size_t)left : chunk.size();
        chunk.resize(n);
        FillText(&chunk, &state, &column);
        ok = fwrite(chunk.data(), 1, n, f) == n;
        left -= n;
    }
    ok = fclose(f) == 0 && ok;
    // Renamed only when whole, so an interrupted run never leaves a short file
    // that a later run would take for a finished one.
    if (!ok || rename(partial.c_str(), path.c_str()) != 0) {
        remove(partial.c_str());
        return false;
    }
    return true;
}
