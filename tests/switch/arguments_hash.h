#ifndef QUORVANE_TESTS_ARGUMENTS_HASH_H
#define QUORVANE_TESTS_ARGUMENTS_HASH_H

// FNV-1a over the count and every code unit of every argument, each argument
// closed by a code unit no text holds: different vectors, different hashes.
inline unsigned ArgumentsHash(int argc, const wchar_t* const* argv) {
  unsigned hash = 2166136261u ^ static_cast<unsigned>(argc);
  auto mix = [&hash](unsigned unit) { hash = (hash ^ unit) * 16777619u; };
  for (int i = 0; i < argc; ++i) {
    for (const wchar_t* c = argv[i]; *c; ++c)
      mix(static_cast<unsigned>(*c));
    mix(0x10000u);
  }
  return hash;
}

#endif
