/* The toolkit library that backend_stub needs and that is never found. */
int kvt_toolkit_function(void) { return 1; }
