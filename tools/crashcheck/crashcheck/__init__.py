"""Crash states of the real service: a recorded run's file operations, what a power cut
at any point of it may leave on the disk, and what the service makes of each."""
