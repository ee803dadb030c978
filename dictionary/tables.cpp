// placeholder: the dictionary tables land here
