// The two 8-bit check functions of the BBU protocol.
#include <bbu/bbu.h>

extern "C" {

unsigned char sumcheck(const unsigned char *bp, unsigned int nbytes)
{
    unsigned char sum = 0;
    for (unsigned int i = 0; i < nbytes; ++i) {
        unsigned char before = sum;
        sum = static_cast<unsigned char>(sum + bp[i]);
        // End-around carry: a carry out of bit 7 is added back in. The truncated
        // sum of a carried addition is at most 0xfe, so this never carries again.
        if (sum < before)
            ++sum;
    }
    return sum;
}

unsigned char xorcheck(const unsigned char *bp, unsigned int nbytes)
{
    unsigned char x = 0;
    for (unsigned int i = 0; i < nbytes; ++i)
        x ^= bp[i];
    return x;
}

}  // extern "C"
