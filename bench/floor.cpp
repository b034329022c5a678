// The floor for any program of this kind: the same start-up, flags, manifest
// and imports as quorvane.exe, and an entry that only returns.
int wmain(int, wchar_t**) {
  return 0;
}
