// What only Linux has: the platform layer under the driver's own logic.
// Each concern lives in a file of its own beside this one.
