// The user runtime's public names as the host tests see them (see
// user_runtime_host.h). No include guard: it is meant to be included again.
#define read rt_read
#define write rt_write
#define brk rt_brk
#define exit rt_exit
#define strlen rt_strlen
#define strcmp rt_strcmp
#define strncmp rt_strncmp
#define strcpy rt_strcpy
#define strncpy rt_strncpy
#define memset rt_memset
#define memcpy rt_memcpy
#define memmove rt_memmove
#define malloc rt_malloc
#define free rt_free
#define putchar rt_putchar
#define puts rt_puts
#define printf rt_printf
#define main rt_main
