// placeholder: the module entry is written with the binding
