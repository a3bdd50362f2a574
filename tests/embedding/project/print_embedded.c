/* Prints the embedded bytes in hexadecimal, as CMake's file(READ ... HEX) gives a file's. */
#include <stdio.h>

extern const unsigned char embedded_data[];
extern const unsigned char embedded_data_end[];

int main (void)
{
    for (const unsigned char* p = embedded_data; p != embedded_data_end; ++p)
        printf ("%02x", *p);
    return 0;
}
