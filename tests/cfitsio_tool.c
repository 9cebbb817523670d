/* An independent FITS writer and reader for the tests, built on cfitsio.
 *   cfitsio_tool write16 FILE WIDTH HEIGHT [registax] [astra]
 *       a 16-bit image stored the standard way for unsigned data (BITPIX 16,
 *       BZERO 32768); pixel i has the value (i * 37 + 5) % 65536.
 *   cfitsio_tool write32raw FILE WIDTH HEIGHT [registax] [astra]
 *       a 32-bit image as stacking software writes it: BZERO 2147483648 in
 *       the header but the unsigned values stored unshifted; pixel i has the
 *       value i * 2654435761 (mod 2^32).
 *   cfitsio_tool read FILE
 *       prints every physical pixel value (BZERO applied), one a line.
 * Exits non-zero with cfitsio's message when cfitsio reports an error. */
#include <fitsio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(int status) {
  fits_report_error(stderr, status);
  return 1;
}

#define REGISTAX_PLACEHOLDER "HISTORY registax card goes here"

/* cfitsio refuses the malformed keyword "COMMENT=" that Registax writes, so a
 * placeholder card is written and then overwritten in the closed file. */
static int patch_registax_card(const char* file) {
  char header[2880];
  FILE* f = fopen(file, "r+b");
  if (!f || fread(header, 1, sizeof header, f) != sizeof header) return 1;
  for (int card = 0; card < 36; ++card) {
    if (strncmp(header + 80 * card, REGISTAX_PLACEHOLDER, strlen(REGISTAX_PLACEHOLDER)) == 0) {
      char replacement[81];
      snprintf(replacement, sizeof replacement, "%-80s", "COMMENT= REGISTAX");
      fseek(f, 80L * card, SEEK_SET);
      fwrite(replacement, 1, 80, f);
    }
  }
  return fclose(f) != 0;
}

static int producer_cards(fitsfile* f, int argc, char** argv, int* status) {
  for (int i = 5; i < argc; ++i) {
    if (strcmp(argv[i], "registax") == 0) fits_write_record(f, REGISTAX_PLACEHOLDER, status);
    if (strcmp(argv[i], "astra") == 0) fits_write_key_str(f, "ORIGIN", "Astra Image", NULL, status);
  }
  return *status;
}

static int write_image(int argc, char** argv, int bits) {
  int status = 0;
  fitsfile* f = NULL;
  long axes[2] = {atol(argv[3]), atol(argv[4])};
  long n = axes[0] * axes[1];
  char path[4096];
  snprintf(path, sizeof path, "!%s", argv[2]); /* "!" overwrites */
  if (fits_create_file(&f, path, &status)) return fail(status);
  if (bits == 16) {
    unsigned short* v = malloc(sizeof *v * (size_t)n);
    for (long i = 0; i < n; ++i) v[i] = (unsigned short)((i * 37 + 5) % 65536);
    fits_create_img(f, USHORT_IMG, 2, axes, &status);
    producer_cards(f, argc, argv, &status);
    fits_write_img(f, TUSHORT, 1, n, v, &status);
    free(v);
  } else {
    int* v = malloc(sizeof *v * (size_t)n);
    for (long i = 0; i < n; ++i) {
      unsigned int u = (unsigned int)((unsigned long long)i * 2654435761ull);
      memcpy(&v[i], &u, sizeof u); /* the unsigned bits, stored without the offset */
    }
    fits_create_img(f, LONG_IMG, 2, axes, &status);
    fits_write_key_dbl(f, "BZERO", 2147483648.0, 10, "unsigned data, as the header claims", &status);
    fits_set_bscale(f, 1.0, 0.0, &status); /* write the values as they are */
    producer_cards(f, argc, argv, &status);
    fits_write_img(f, TINT, 1, n, v, &status);
    free(v);
  }
  fits_close_file(f, &status);
  if (status) return fail(status);
  for (int i = 5; i < argc; ++i) {
    if (strcmp(argv[i], "registax") == 0 && patch_registax_card(argv[2])) return 1;
  }
  return 0;
}

static int read_image(const char* file) {
  int status = 0, dims = 0, anynull = 0;
  long axes[2] = {1, 1};
  fitsfile* f = NULL;
  if (fits_open_file(&f, file, READONLY, &status)) return fail(status);
  fits_get_img_dim(f, &dims, &status);
  fits_get_img_size(f, 2, axes, &status);
  long n = axes[0] * (dims > 1 ? axes[1] : 1);
  double* v = malloc(sizeof *v * (size_t)n);
  fits_read_img(f, TDOUBLE, 1, n, NULL, v, &anynull, &status);
  if (!status) {
    for (long i = 0; i < n; ++i) printf("%.0f\n", v[i]);
  }
  free(v);
  fits_close_file(f, &status);
  return status ? fail(status) : 0;
}

int main(int argc, char** argv) {
  if (argc >= 5 && strcmp(argv[1], "write16") == 0) return write_image(argc, argv, 16);
  if (argc >= 5 && strcmp(argv[1], "write32raw") == 0) return write_image(argc, argv, 32);
  if (argc == 3 && strcmp(argv[1], "read") == 0) return read_image(argv[2]);
  fprintf(stderr, "usage: cfitsio_tool write16|write32raw FILE WIDTH HEIGHT [registax] [astra] | read FILE\n");
  return 2;
}
