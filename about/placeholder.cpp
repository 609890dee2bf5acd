// Keeps the folder's target buildable before its first source lands.
