// glib_sanitizers.h - what the sanitizers are told about GLib and GStreamer
// in a test program that runs GStreamer pipelines. Include it in exactly one
// source file of such a program.
//
// Under AddressSanitizer: GLib allocates a table in its library constructor
// and keeps it for the life of the process. Only a full unwind shows where
// an allocation made inside GLib (built without frame pointers) came from.
//
// Under ThreadSanitizer: GLib's locks are futexes that the runtime cannot
// see, so every hand-over of a buffer between GStreamer's threads looks like
// a race. Reports with a GLib or GStreamer frame in a stack are left out;
// races between this project's own threads are still reported.
#pragma once

extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:_dl_init\n";
}

extern "C" const char* __tsan_default_suppressions()
{
    return "race:libglib-2.0.so\nrace:libgobject-2.0.so\nrace:libgstreamer-1.0.so\nrace:libgstbase-1.0.so\n"
           "race:libgstvideo-1.0.so\nrace:libgstcheck-1.0.so\nrace:libgstapp-1.0.so\nrace:libgstrtp-1.0.so\n";
}
