// The shared object has no load-time work: nothing is opened at load and
// nothing is closed at unload. This file gives the library target a source
// of its own; the objects come from kx_core.
