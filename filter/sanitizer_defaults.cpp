//
// Sanitizer defaults for sanitizer builds of the filter.
//
// libcups 2.4 leaks a small option array inside cupsMarkOptions() when the
// job carries "finishings" (its PPD cache builds one and never frees it);
// that leak is not ours and must not fail every spooled job.  libcups has
// no frame pointers, so the slow unwinder is needed to see where it is.
//

extern "C" const char *
__asan_default_options(void)
{
  return ("fast_unwind_on_malloc=0");
}

extern "C" const char *
__lsan_default_suppressions(void)
{
  return ("leak:_ppdCacheCreateWithPPD\n");
}

extern "C" const char *
__lsan_default_options(void)
{
  return ("print_suppressions=0");
}
