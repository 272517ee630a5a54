// Nothing: a library that does nothing, preloaded to measure what preloading
// any library costs a run, the floor under the region tracer's cost.
