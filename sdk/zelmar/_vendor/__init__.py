"""Third-party packages as the SDK ships them."""
