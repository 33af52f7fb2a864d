"""Trailmere, the GPS track viewer."""
