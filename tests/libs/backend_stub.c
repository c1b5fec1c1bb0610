/* A desktop backend library whose toolkit is missing: it needs a toolkit
   library (built as qt_absent, with the soname libQt6Absent.so.6) that is
   in no directory the loader searches. */
int kvt_toolkit_function(void);
int kvt_backend_function(void) { return kvt_toolkit_function(); }
