/* The daemon's information property list, embedded in a section of its own (on the Mac the
   linker puts it in __TEXT,__info_plist). */
	.section .info_plist,"a"
	.incbin INFO_PLIST_PATH
	.section .note.GNU-stack,"",@progbits
