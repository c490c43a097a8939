// Placeholder source for a layer that has no code yet.
