// integration tests land here
