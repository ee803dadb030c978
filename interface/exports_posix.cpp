// placeholder: KXSetComDevice lands here
