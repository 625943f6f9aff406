// The in-process module that hosts load. Its entry points come with the server frame.
namespace kestrune_module {
int linked = 0;
}
