//
// Sanitizer defaults for sanitizer builds of the filter.
//
// libcups 2.4 leaks a small option array inside cupsMarkOptions() when the
// job carries "finishings" (its PPD cache builds one and never frees it);
// that leak is not ours and must not fail every spooled job.  libcups has
// no frame pointers, so the slow unwinder is needed to see where it is.
// libcups also sizes a compressed stream's line buffer from the page header
// before the filter can check it: such an allocation must fail, as it does
// on a small server, rather than make AddressSanitizer's shadow of it
// resident.  The filter's own buffers are far below the cap.
//

extern "C" const char *
__asan_default_options(void)
{
  return ("fast_unwind_on_malloc=0:allocator_may_return_null=1:max_allocation_size_mb=256");
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
