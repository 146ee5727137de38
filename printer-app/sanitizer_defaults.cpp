//
// Sanitizer defaults for sanitizer builds of the Printer Application.
//
// PAPPL's command-line sub-commands and libcups keep small allocations
// until exit; those are theirs, not ours.
//

extern "C" const char *
__lsan_default_suppressions(void)
{
  return ("leak:libcups.so\nleak:pappl\nleak:_pappl\n");
}

extern "C" const char *
__lsan_default_options(void)
{
  return ("print_suppressions=0");
}

// ThreadSanitizer: a report ends the server, so that a race fails the test
// that meets it.
extern "C" const char *
__tsan_default_options(void)
{
  return ("halt_on_error=1 second_deadlock_stack=1");
}

// What ThreadSanitizer reports in PAPPL that cannot go wrong.
extern "C" const char *
__tsan_default_suppressions(void)
{
  return (
      // Lock-order cycles among the system's, the printers array's, a
      // printer's and a job's read-write locks in which one order takes the
      // system's or the printers array's lock for reading while the other
      // holds it for reading: glibc's read-write locks admit a reader
      // whenever only readers hold them, so neither thread waits for the
      // other.
      "deadlock:_papplSystemFindMIMEFilter\n"
      "deadlock:_papplSystemAddEventNoLockv\n"
      "deadlock:papplSystemFindPrinter\n"
      // A job's cancel flag, set under the job's lock, is polled without
      // it by the threads that print the job (between lines, pages and
      // connection attempts): a bool, seen at their next look.
      "race:papplJobCancel\n"
      "race:papplPrinterCancelAllJobs\n"
      // Get-Jobs picks jobs by their state and owner under the printer's
      // lock only: a job changing state meanwhile is listed as it was a
      // moment before or after.
      "race:ipp_get_jobs\n");
}
