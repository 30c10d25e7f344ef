// Compiles the precompiled header of its target (cmake/Precompiled.cmake);
// the object itself is empty.
