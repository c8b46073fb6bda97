/* The ARM pass of device_check compiles on mingw-w64's desktop headers, whose <malloc.h> includes the
   compiler's <mm_malloc.h>: an x86 compiler's header that ARM compilers do not have. Nothing of it
   (_mm_malloc, _mm_free) is used. */
