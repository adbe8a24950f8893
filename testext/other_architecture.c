/* An extension built for the other architecture than the host's (a 32-bit ELF file for the
   64-bit Linux host, a PE32 file for the 64-bit Windows host and the reverse, a Windows
   library on Linux): the host must name the mismatch, read from the file's header. It is
   never loaded, so it needs no C runtime. */
void RVExtension(char* output, unsigned int outputSize, const char* function) {
  (void)function;
  if (outputSize > 0) output[0] = '\0';
}
