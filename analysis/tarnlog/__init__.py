"""tarnlog: checks, summarises, exports and plots the service's CSV logs."""
